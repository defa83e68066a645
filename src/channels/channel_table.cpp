#include "channels/channel_table.h"

namespace lan2com {

void ChannelTable::emptySlot(int slot) {
    ChannelRecord& p = (*this)[slot];
    p.Pair = kEmptyPair;
    p.ComIn = "";
    p.ComOut = "";
    p.AddrIP = "";
    p.Fnd = false;
    p.Cnvrt = kEmptyPair;
}

void ChannelTable::emptyAll() {
    for (int s = 0; s < kSlots; ++s) {
        emptySlot(s);
    }
}

int ChannelTable::listLength() const {
    int s = 0;
    while (s < kSlots && !(*this)[s].isEmpty()) {
        ++s;
    }
    return s;
}

int ChannelTable::firstEmpty() const {
    const int s = listLength();
    return s < kSlots ? s : -1;
}

bool ChannelTable::removeSlot(int t) {
    const int length = listLength();
    if (t < 0 || t >= length) {
        return false;
    }
    for (int s = t; s < length - 1; ++s) {
        (*this)[s] = (*this)[s + 1];
    }
    emptySlot(length - 1);
    (*this)[length - 1].Port = 0;
    return true;
}

bool inAddressKeySet(char32_t c) {
    if (c == 8 || c == U'.' || (c >= U'0' && c <= U'9')) {
        return true;
    }
    return c < 0x80 && kAnySource.find(static_cast<char>(c)) != std::string_view::npos;
}

}  // namespace lan2com
