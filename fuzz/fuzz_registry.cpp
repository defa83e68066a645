// Any .reg text: the reader either gives a tree or refuses with RegParseError (any other failure
// is a crash), and what the writer makes of that tree reads back as the same tree and is written
// the same way again.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/reg_text.h"

namespace {

[[noreturn]] void broken(const char* what, const std::string& written) {
    std::fprintf(stderr, "fuzz_registry: %s\n---- the text written:\n%s----\n", what,
                 written.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lan2com;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    RegistryTree tree;
    try {
        tree = parseRegText(text);
    } catch (const RegParseError&) {
        return 0;
    }
    const std::string written = formatRegText(tree);
    RegistryTree again;
    try {
        again = parseRegText(written);
    } catch (const RegParseError& e) {
        broken((std::string("the reader refuses what the writer wrote: ") + e.what()).c_str(),
               written);
    }
    if (!(again == tree)) {
        broken("what the writer wrote reads back as another tree", written);
    }
    if (formatRegText(again) != written) {
        broken("the tree read back is written differently", written);
    }
    return 0;
}
