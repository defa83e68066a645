#include <gtest/gtest.h>

#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "platform/reg_text.h"
#include "platform/registry_tree.h"
#include "platform/tree_registry.h"
#include "support/registry_failure.h"

namespace lan2com {
namespace {

using Names = std::vector<std::string>;

TEST(RegText, WritesEveryKeyAsItsOwnSectionWithEscapedNamesAndTexts) {
    MemoryRegistry r;
    r.createKey("\\HARDWARE\\DEVICEMAP\\SERIALCOMM");
    ASSERT_TRUE(r.openKey("\\HARDWARE\\DEVICEMAP\\SERIALCOMM"));
    r.writeString("\\Device\\com0com10", "COM10");
    r.writeString("Say \"hi\"", "a\\b \"c\"");
    r.createKey("\\SOFTWARE\\Vesko\\Device\\ComIP\\Pair1");
    ASSERT_TRUE(r.openKey("\\SOFTWARE\\Vesko\\Device\\ComIP\\Pair1"));
    r.writeInteger("Port", 10);
    r.writeInteger("Neg", -1);
    r.writeString("Имя", "Канал №1");
    EXPECT_EQ(formatRegText(r.tree()),
              "Windows Registry Editor Version 5.00\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\HARDWARE]\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP]\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\n"
              "\"\\\\Device\\\\com0com10\"=\"COM10\"\n"
              "\"Say \\\"hi\\\"\"=\"a\\\\b \\\"c\\\"\"\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vesko]\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vesko\\Device]\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vesko\\Device\\ComIP]\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vesko\\Device\\ComIP\\Pair1]\n"
              "\"Port\"=dword:0000000a\n"
              "\"Neg\"=dword:ffffffff\n"
              "\"Имя\"=\"Канал №1\"\n"
              "\n");
    EXPECT_EQ(formatRegText(RegistryTree{}), "Windows Registry Editor Version 5.00\n\n");
}

TEST(RegText, RoundTripsEveryKindOfValue) {
    MemoryRegistry r;
    r.createKey("\\A\\Ключ ]x[");
    ASSERT_TRUE(r.openKey("\\A\\Ключ ]x["));
    r.writeString("", "default value");
    r.writeString("lines", "first\r\nsecond\nthird");  // cannot stand in a quoted line
    r.writeString("quotes", "\"\\\"\\\\");
    r.writeString("empty", "");
    r.writeInteger("big", 70000);
    RegValue blob;
    blob.name = "blob";
    blob.kind = RegValue::Kind::Raw;
    blob.rawType = 3;
    for (int i = 0; i < 100; ++i) {
        blob.bytes.push_back(static_cast<std::uint8_t>(i * 7));
    }
    r.tree().find({"A", "Ключ ]x["})->setValue(blob);
    RegValue multi = blob;
    multi.name = "multi";
    multi.rawType = 7;
    multi.bytes = {0x41, 0, 0, 0, 0, 0};
    r.tree().find({"A", "Ключ ]x["})->setValue(multi);

    const std::string text = formatRegText(r.tree());
    EXPECT_NE(text.find("@=\"default value\"\n"), std::string::npos);
    EXPECT_NE(text.find("\"lines\"=hex(1):66,00,69,00"), std::string::npos);
    EXPECT_NE(text.find(",\\\n  "), std::string::npos);  // long binary data wraps
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
         start = end + 1) {
        EXPECT_LE(end - start, 80u) << text.substr(start, end - start);
    }
    const RegistryTree back = parseRegText(text);
    EXPECT_TRUE(back == r.tree()) << text;
    MemoryRegistry again(back);
    ASSERT_TRUE(again.openKey("\\A\\Ключ ]x["));
    EXPECT_EQ(again.readString("lines"), "first\r\nsecond\nthird");
    EXPECT_EQ(again.readString(""), "default value");
    EXPECT_EQ(again.readString("quotes"), "\"\\\"\\\\");
    EXPECT_EQ(again.readInteger("big"), 70000);
    EXPECT_EQ(again.valueNames(), (Names{"", "lines", "quotes", "empty", "big", "blob", "multi"}));
}

TEST(RegText, ReadsWhatPeopleAndRegeditWrite) {
    // CRLF, a byte-order mark, comments, blank lines, indentation, sections that repeat a key in
    // other case, parents given after their children, deletions, upper-case hex.
    const std::string text =
        "\xEF\xBB\xBF"
        "Windows Registry Editor Version 5.00\r\n"
        "\r\n"
        "; the device map\r\n"
        "[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\r\n"
        "\"\\\\Device\\\\com0com10\"=\"COM10\"\r\n"
        "  \"\\\\Device\\\\com0com20\" = \"COM11\"  \r\n"
        "\"gone\"=\"x\"\r\n"
        "[hkey_local_machine\\hardware\\devicemap\\serialcomm]\r\n"
        "\"Gone\"=-\r\n"
        "\"\\\\Device\\\\Serial0\"=\"COM1\"\r\n"
        "[HKEY_LOCAL_MACHINE\\HARDWARE]\r\n"
        "\"n\"=dword:0001ABCD\r\n"
        "\"d\"=hex(4):78,56,34,12\r\n"
        "\"e\"=hex(2):43,00,3a,00,5c,00,00,00\r\n"
        "[HKEY_LOCAL_MACHINE\\OLD\\Stuff]\r\n"
        "[-HKEY_LOCAL_MACHINE\\old]\r\n";
    MemoryRegistry r(parseRegText(text));
    ASSERT_TRUE(r.openKey("\\HARDWARE\\DEVICEMAP\\SERIALCOMM"));
    EXPECT_EQ(r.valueNames(),
              (Names{"\\Device\\com0com10", "\\Device\\com0com20", "\\Device\\Serial0"}));
    EXPECT_EQ(r.readString("\\Device\\com0com20"), "COM11");
    ASSERT_TRUE(r.openKey("\\HARDWARE"));
    EXPECT_EQ(r.keyNames(), Names{"DEVICEMAP"});
    EXPECT_EQ(r.readInteger("n"), 0x1ABCD);
    EXPECT_EQ(r.readInteger("d"), 0x12345678);  // a REG_DWORD in its binary form
    EXPECT_EQ(r.readString("e"), "C:\\");       // REG_EXPAND_SZ reads as text
    EXPECT_FALSE(r.openKey("\\OLD"));
    ASSERT_TRUE(r.openKey("\\"));
    EXPECT_EQ(r.keyNames(), Names{"HARDWARE"});

    // regedit's own files are UTF-16LE with a byte-order mark.
    std::string utf16 = "\xFF\xFE";
    for (const char c :
         std::string("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE"
                     "\\K]\r\n\"v\"=\"\xD0\x96\"\r\n")) {
        if (static_cast<unsigned char>(c) < 0x80) {
            utf16 += c;
            utf16 += '\0';
        }
    }
    // "Ж" (U+0416) written directly as UTF-16LE in place of the two UTF-8 bytes above.
    const std::size_t quote = utf16.rfind(std::string("\"\0\r\0", 4));
    utf16.insert(quote, std::string("\x16\x04", 2));
    MemoryRegistry w(parseRegText(utf16));
    ASSERT_TRUE(w.openKey("\\K"));
    EXPECT_EQ(w.readString("v"), "Ж");
}

TEST(RegText, EmptyTextIsAnEmptyRegistry) {
    EXPECT_TRUE(parseRegText("") == RegistryTree{});
    EXPECT_TRUE(parseRegText("\n  \r\n") == RegistryTree{});
    EXPECT_TRUE(parseRegText("Windows Registry Editor Version 5.00\n") == RegistryTree{});
}

TEST(RegText, RefusesWhatItCannotReadWithTheLineNumber) {
    const std::string h = "Windows Registry Editor Version 5.00\n\n";
    const std::string s = "[HKEY_LOCAL_MACHINE\\K]\n";
    const struct {
        std::string text;
        int line;
    } cases[] = {
        {"REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\K]\n", 1},
        {"\xFE\xFF\0W", 1},
        {h + "[HKEY_CURRENT_USER\\K]\n", 3},
        {h + "[HKEY_LOCAL_MACHINEX\\K]\n", 3},
        {h + "[HKEY_LOCAL_MACHINE\\K\n", 3},
        {h + "[HKEY_LOCAL_MACHINE\\A\\\\B]\n", 3},
        {h + "\"v\"=\"outside\"\n", 3},
        {h + s + "\"v\"=\"no end\n", 4},
        {h + s + "\"v\"=\"C:\\path\"\n", 4},  // a lone backslash is not how regedit writes one
        {h + s + "\"v\"=\"x\" tail\n", 4},
        {h + s + "\"v\"\"x\"\n", 4},
        {h + s + "\"v\"=dword:123456789\n", 4},
        {h + s + "\"v\"=dword:\n", 4},
        {h + s + "\"v\"=dword:12g4\n", 4},
        {h + s + "\"v\"=hex:01,zz\n", 4},
        {h + s + "\"v\"=hex:01,\n", 4},
        {h + s + "\"v\"=hex(:01\n", 4},
        {h + s + "\"v\"=hex:01,\\\n", 4},
        {h + s + "\"a\"=hex:01,\\\n  02,\\\n  03\n\"b\"=qword:1\n", 7},
        {h + s + "\"v\"=text\n", 4},
        {h + s + "plain words\n", 4},
        {h + "[-HKEY_LOCAL_MACHINE\\K]\n\"v\"=\"x\"\n", 4},
        // Texts that a rewrite could not give back as they are: a NUL byte, and bytes that are
        // not UTF-8 (a stray byte, a code point beyond Unicode, an overlong form).
        {h + s + std::string("\"v\"=\"x\0y\"\n", 11), 4},
        {h + s + "\"v\"=\"x\xB7\ry\"\n", 4},
        {h + s + "\"v\"=\"x\xF6\x96\x8D\xBC\ry\"\n", 4},
        {h + s + "\"\xC0\xAF\"=\"x\"\n", 4},
    };
    for (const auto& c : cases) {
        try {
            parseRegText(c.text);
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const RegParseError& e) {
            EXPECT_EQ(e.line(), c.line) << c.text << " -> " << e.reason();
            EXPECT_FALSE(e.reason().empty());
        }
    }
}

TEST(RegText, KeysNestedBeyondTheRegistrysDepthMakeTheFileUnreadableNotTheReaderCrash) {
    const std::string h = "Windows Registry Editor Version 5.00\n\n";
    auto nested = [](std::size_t depth) {
        std::string line = "[HKEY_LOCAL_MACHINE";
        for (std::size_t i = 0; i < depth; ++i) {
            line += "\\k";
        }
        return line + "]\n\"v\"=dword:00000001\n";
    };
    // As deep as the registry itself allows: read, and written back the same.
    const RegistryTree deepest = parseRegText(h + nested(kMaxRegDepth));
    EXPECT_EQ(parseRegText(formatRegText(deepest)), deepest);
    for (const std::size_t depth : {kMaxRegDepth + 1, std::size_t(200000)}) {
        try {
            parseRegText(h + nested(depth));
            ADD_FAILURE() << "accepted a key nested " << depth << " deep";
        } catch (const RegParseError& e) {
            EXPECT_EQ(e.line(), 3);
            EXPECT_NE(e.reason().find("512"), std::string::npos) << e.reason();
        }
    }
    std::string deepPath;
    for (std::size_t i = 0; i <= kMaxRegDepth; ++i) {
        deepPath += "\\k";
    }
    EXPECT_FALSE(splitRegPath(deepPath).has_value());
    MemoryRegistry r;
    EXPECT_EQ(test::registryFailureOf([&] { r.createKey(deepPath); }),
              "Failed to create key " + deepPath);
}

TEST(RegText, ALargeFileIsReadInTimeLinearInItsSize) {
    // 10 MB: one key of many values (the device map of a busy computer), many keys of a few
    // values, and values set twice, removed and set again; names differ from the earlier
    // spelling only in case, so every lookup goes by the folded name.
    std::string text = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Map]\n";
    const int values = 120000;
    for (int i = 0; i < values; ++i) {
        text +=
            "\"\\\\Device\\\\Serial" + std::to_string(i) + "\"=\"COM" + std::to_string(i) + "\"\n";
    }
    for (int i = 0; i < values; i += 2) {
        text += "\"\\\\DEVICE\\\\serial" + std::to_string(i) + "\"=-\n";
    }
    text += "\"\\\\Device\\\\Serial0\"=\"again\"\n\n";
    for (int k = 0; text.size() < 10u * 1024 * 1024; ++k) {
        text += "[HKEY_LOCAL_MACHINE\\Keys\\K" + std::to_string(k) + "]\n\"Port\"=dword:0000" +
                "1234\n\"AddrIP\"=\"127.0.0.1\"\n\"port\"=dword:00004321\n\n";
    }
    // Processor time, not time on the clock: other work on a shared machine does not count. A
    // reader in the square of the values per key would take minutes here; a linear one takes well
    // under a second, and the bound leaves room for sanitizer builds.
    const std::clock_t started = std::clock();
    const RegistryTree tree = parseRegText(text);
    const double seconds = double(std::clock() - started) / CLOCKS_PER_SEC;
    ::testing::Test::RecordProperty("parse_ms", static_cast<int>(seconds * 1000));
    EXPECT_LT(seconds, 8.0);
    const RegKey* map = tree.find({"MAP"});
    ASSERT_NE(map, nullptr);
    ASSERT_EQ(map->values.size(), std::size_t(values / 2 + 1));
    EXPECT_EQ(map->values[0].name, "\\Device\\Serial1");
    EXPECT_EQ(map->values.back().name, "\\Device\\Serial0");  // set again after removal
    EXPECT_EQ(map->values.back().text, "again");
    const RegKey* keys = tree.find({"Keys"});
    ASSERT_NE(keys, nullptr);
    ASSERT_GT(keys->subkeys.size(), 1000u);
    ASSERT_EQ(keys->subkeys[7].values.size(), 2u);  // "port" overwrote "Port" in place
    EXPECT_EQ(keys->subkeys[7].values[0].name, "Port");
    EXPECT_EQ(keys->subkeys[7].values[0].dword, 0x4321u);
}

TEST(RegText, SectionsRemovedAndMadeAgainReadAsTheRegistryWouldHaveThem) {
    const RegistryTree tree = parseRegText(
        "Windows Registry Editor Version 5.00\n\n"
        "[HKEY_LOCAL_MACHINE\\A\\B]\n\"x\"=\"1\"\n"
        "[HKEY_LOCAL_MACHINE\\A\\C]\n"
        "[-HKEY_LOCAL_MACHINE\\a\\b]\n"
        "[HKEY_LOCAL_MACHINE\\A\\b\\D]\n"
        "[-HKEY_LOCAL_MACHINE\\NotThere\\B]\n"
        "[-HKEY_LOCAL_MACHINE]\n");
    const RegKey* a = tree.find({"A"});
    ASSERT_NE(a, nullptr);
    ASSERT_EQ(a->subkeys.size(), 2u);
    EXPECT_EQ(a->subkeys[0].name, "C");
    EXPECT_EQ(a->subkeys[1].name, "b");  // made again, after C, as written the second time
    EXPECT_TRUE(a->subkeys[1].values.empty());
    ASSERT_EQ(a->subkeys[1].subkeys.size(), 1u);
    EXPECT_EQ(a->subkeys[1].subkeys[0].name, "D");
}

}  // namespace
}  // namespace lan2com
