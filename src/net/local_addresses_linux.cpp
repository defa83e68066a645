// Local addresses on Linux: getifaddrs for interfaces and addresses, and one rtnetlink address
// dump for the address states (tentative, failed duplicate detection, deprecated) that getifaddrs
// does not report.

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <tuple>

#include "net/local_addresses.h"

namespace lan2com {

namespace {

// (family, interface index, address bytes) -> the address's state flags.
using AddressKey = std::tuple<int, unsigned, std::string>;

std::string bytesOf(const void* p, std::size_t n) {
    return std::string(static_cast<const char*>(p), n);
}

// Asks the kernel for every address with its flags. Answers false when the dump fails; the caller
// then offers every address (their states unknown) rather than none.
bool addressStates(std::map<AddressKey, std::uint32_t>& states) {
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0) {
        return false;
    }
    struct FdCloser {
        int fd;
        ~FdCloser() { ::close(fd); }
    } closer{fd};

    timeval tv{2, 0};  // never hang the start-up on a kernel that does not answer
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);

    struct {
        nlmsghdr hdr;
        ifaddrmsg msg;
    } req{};
    req.hdr.nlmsg_len = NLMSG_LENGTH(sizeof(ifaddrmsg));
    req.hdr.nlmsg_type = RTM_GETADDR;
    req.hdr.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    req.hdr.nlmsg_seq = 1;
    req.msg.ifa_family = AF_UNSPEC;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(fd, &req, req.hdr.nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel),
                 sizeof kernel) < 0) {
        return false;
    }

    alignas(nlmsghdr) char buffer[32768];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (n == 0) {
            return false;
        }
        int left = static_cast<int>(n);
        for (auto* h = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(h, left);
             h = NLMSG_NEXT(h, left)) {
            if (h->nlmsg_type == NLMSG_DONE) {
                return true;
            }
            if (h->nlmsg_type == NLMSG_ERROR) {
                return false;
            }
            if (h->nlmsg_type != RTM_NEWADDR || h->nlmsg_len < NLMSG_LENGTH(sizeof(ifaddrmsg))) {
                continue;
            }
            const auto* ifa = static_cast<const ifaddrmsg*>(NLMSG_DATA(h));
            std::uint32_t flags = ifa->ifa_flags;
            std::string address;
            std::string local;
            int attrLeft = static_cast<int>(IFA_PAYLOAD(h));
            for (auto* rta = IFA_RTA(ifa); RTA_OK(rta, attrLeft); rta = RTA_NEXT(rta, attrLeft)) {
                const auto size = static_cast<std::size_t>(RTA_PAYLOAD(rta));
                switch (rta->rta_type) {
                    case IFA_ADDRESS:
                        address = bytesOf(RTA_DATA(rta), size);
                        break;
                    case IFA_LOCAL:
                        local = bytesOf(RTA_DATA(rta), size);
                        break;
                    case IFA_FLAGS:
                        if (size >= sizeof(std::uint32_t)) {
                            std::memcpy(&flags, RTA_DATA(rta), sizeof flags);
                        }
                        break;
                    default:
                        break;
                }
            }
            // getifaddrs reports IFA_LOCAL where there is one (point-to-point IPv4), else
            // IFA_ADDRESS: remember the state under both.
            if (!address.empty()) {
                states[AddressKey(ifa->ifa_family, ifa->ifa_index, address)] = flags;
            }
            if (!local.empty()) {
                states[AddressKey(ifa->ifa_family, ifa->ifa_index, local)] = flags;
            }
        }
    }
}

// The interface index of a getifaddrs name; IPv4 aliases come as "eth0:1".
unsigned indexOf(const char* name) {
    std::string base(name);
    const auto colon = base.find(':');
    if (colon != std::string::npos) {
        base.resize(colon);
    }
    return ::if_nametoindex(base.c_str());
}

}  // namespace

std::vector<InterfaceAddress> systemInterfaceAddresses() {
    std::vector<InterfaceAddress> out;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        return out;
    }
    std::map<AddressKey, std::uint32_t> states;
    const bool statesKnown = addressStates(states);

    // getifaddrs lists every link first (AF_PACKET, in the kernel's interface order) and then the
    // addresses: the first appearance of a name is the interface's place in the system's order.
    std::vector<std::string> order;
    auto remember = [&order](const std::string& key) {
        for (const auto& k : order) {
            if (k == key) {
                return;
            }
        }
        order.push_back(key);
    };
    for (ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
        if (i->ifa_name == nullptr) {
            continue;
        }
        const unsigned index = indexOf(i->ifa_name);
        const std::string key = index != 0 ? std::to_string(index) : std::string(i->ifa_name);
        remember(key);
        if (i->ifa_addr == nullptr) {
            continue;
        }
        const int family = i->ifa_addr->sa_family;
        InterfaceAddress a;
        a.interfaceKey = key;
        a.loopback = (i->ifa_flags & IFF_LOOPBACK) != 0;
        a.up = (i->ifa_flags & IFF_UP) != 0;
        std::string raw;
        char text[INET6_ADDRSTRLEN] = {};
        if (family == AF_INET) {
            const auto* sa = reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
            raw = bytesOf(&sa->sin_addr, sizeof sa->sin_addr);
            ::inet_ntop(AF_INET, &sa->sin_addr, text, sizeof text);
        } else if (family == AF_INET6) {
            const auto* sa = reinterpret_cast<const sockaddr_in6*>(i->ifa_addr);
            raw = bytesOf(&sa->sin6_addr, sizeof sa->sin6_addr);
            ::inet_ntop(AF_INET6, &sa->sin6_addr, text, sizeof text);
        } else {
            continue;
        }
        a.text = text;
        if (statesKnown) {
            const auto found = states.find(AddressKey(family, index, raw));
            if (found != states.end()) {
                const std::uint32_t bad = IFA_F_TENTATIVE | IFA_F_DADFAILED | IFA_F_DEPRECATED;
                a.preferred = (found->second & bad) == 0;
            }
        }
        out.push_back(std::move(a));
    }
    ::freeifaddrs(list);

    // Put each address at its interface's place (a stable regroup by first appearance).
    std::vector<InterfaceAddress> ordered;
    ordered.reserve(out.size());
    for (const auto& key : order) {
        for (const auto& a : out) {
            if (a.interfaceKey == key) {
                ordered.push_back(a);
            }
        }
    }
    return ordered;
}

}  // namespace lan2com
