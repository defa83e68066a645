#pragma once

// The text form of the registry tree: the .reg files of regedit, version 5.00.

#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/registry_tree.h"

namespace lan2com {

// A .reg text that cannot be read: the line (from 1) and what is wrong there, in Russian.
class RegParseError : public std::runtime_error {
  public:
    RegParseError(int line, std::string reason);
    int line() const { return line_; }
    const std::string& reason() const { return reason_; }

  private:
    int line_;
    std::string reason_;
};

constexpr std::string_view kRegFileHeader = "Windows Registry Editor Version 5.00";

// Reads a .reg text: UTF-8 (with or without a byte-order mark) or UTF-16LE with its mark; lines
// end in LF or CRLF. Accepts sections [HKEY_LOCAL_MACHINE\…] and [-HKEY_LOCAL_MACHINE\…], values
// "name"="text", "name"=dword:…, "name"=hex:… / hex(n):… (with continuation lines), "name"=-, the
// default value @, comments (;) and blank lines. An empty text is an empty registry.
RegistryTree parseRegText(std::string_view text);

// Writes the tree as regedit writes its version 5.00 files, in UTF-8 with LF line ends: the
// header, a blank line, then every key below the root as its own section in creation order,
// parents before their subkeys, each followed by a blank line.
std::string formatRegText(const RegistryTree& tree);

}  // namespace lan2com
