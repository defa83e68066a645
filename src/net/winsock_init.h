#pragma once

namespace lan2com {
namespace net {

// Windows only: starts Winsock once per process; SocketError when it cannot start.
void ensureWinsock();

}  // namespace net
}  // namespace lan2com
