#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/registry_tree.h"
#include "platform/tree_registry.h"
#include "support/registry_failure.h"

namespace lan2com {
namespace {

using Names = std::vector<std::string>;

TEST(RegistryOperations, OpenKeyNeverCreatesAndKeepsTheCurrentKeyWhenItFails) {
    MemoryRegistry r;
    EXPECT_FALSE(r.openKey("\\SOFTWARE\\Vesko"));
    EXPECT_TRUE(r.tree().root.subkeys.empty());
    r.createKey("\\A\\B");
    ASSERT_TRUE(r.openKey("\\A\\B"));
    r.writeString("x", "1");
    EXPECT_FALSE(r.openKey("\\A\\Missing"));
    EXPECT_FALSE(r.openKey("\\A\\\\B"));
    EXPECT_EQ(r.readString("x"), "1");  // still in \A\B
    EXPECT_TRUE(r.openKey("a\\b\\"));   // names compare without case; the slashes are optional
    EXPECT_EQ(r.readString("X"), "1");
}

TEST(RegistryOperations, EnumerateInCreationOrderNotSorted) {
    MemoryRegistry r;
    for (const char* k : {"\\C\\Pair10", "\\C\\Pair2", "\\C\\pair1"}) {
        r.createKey(k);
    }
    r.createKey("\\C\\PAIR10");  // the same key as Pair10
    ASSERT_TRUE(r.openKey("\\C"));
    EXPECT_EQ(r.keyNames(), (Names{"Pair10", "Pair2", "pair1"}));
    for (const char* v : {"zeta", "alpha", "Mid"}) {
        r.writeString(v, v);
    }
    r.writeString("ALPHA", "again");  // overwrites alpha in place, keeping its name
    EXPECT_EQ(r.valueNames(), (Names{"zeta", "alpha", "Mid"}));
    EXPECT_EQ(r.readString("alpha"), "again");
    r.closeKey();
    EXPECT_TRUE(r.valueNames().empty());
    EXPECT_TRUE(r.keyNames().empty());
}

TEST(RegistryOperations, CaseInsensitiveNamesCoverCyrillic) {
    EXPECT_TRUE(sameRegName("Канал", "КАНАЛ"));
    EXPECT_TRUE(sameRegName("ёж", "ЁЖ"));
    EXPECT_TRUE(sameRegName("Device", "dEVICE"));
    EXPECT_FALSE(sameRegName("Pair1", "Pair10"));
    EXPECT_FALSE(sameRegName("COM5", "COM6"));
}

TEST(RegistryOperations, ReadsAnswerAndFailAsTheRegistryDoes) {
    MemoryRegistry r;
    r.createKey("\\K");
    ASSERT_TRUE(r.openKey("\\K"));
    r.writeString("text", "abc");
    r.writeInteger("num", 42);
    r.writeInteger("min", -2147483647 - 1);
    EXPECT_EQ(r.readString("missing"), "");
    EXPECT_EQ(r.readInteger("num"), 42);
    EXPECT_EQ(r.readInteger("min"), -2147483647 - 1);
    EXPECT_EQ(test::registryFailureOf([&] { r.readString("num"); }), "Invalid data type for 'num'");
    EXPECT_EQ(test::registryFailureOf([&] { r.readInteger("text"); }),
              "Invalid data type for 'text'");
    EXPECT_EQ(test::registryFailureOf([&] { r.readInteger("missing"); }),
              "Failed to get data for 'missing'");
    r.closeKey();
    EXPECT_EQ(r.readString("text"), "");
    EXPECT_EQ(test::registryFailureOf([&] { r.readInteger("num"); }),
              "Failed to get data for 'num'");
}

TEST(RegistryOperations, WritesCreateAndDeleteWithTheirMessages) {
    MemoryRegistry r;
    EXPECT_EQ(test::registryFailureOf([&] { r.writeString("v", "x"); }),
              "Failed to set data for 'v'");
    r.createKey("\\A\\B\\C");
    EXPECT_TRUE(r.valueNames().empty());  // createKey does not open the key
    EXPECT_EQ(test::registryFailureOf([&] { r.writeInteger("v", 1); }),
              "Failed to set data for 'v'");
    EXPECT_EQ(test::registryFailureOf([&] { r.createKey("\\A\\\\B"); }),
              "Failed to create key \\A\\\\B");
    ASSERT_TRUE(r.openKey("\\A\\B"));
    EXPECT_EQ(test::registryFailureOf([&] { r.writeString("two\nlines", "x"); }),
              "Failed to set data for 'two\nlines'");
    r.writeString("v", std::string("cut\0here", 8));
    EXPECT_EQ(r.readString("v"), "cut");
    EXPECT_TRUE(r.deleteValue("V"));
    EXPECT_FALSE(r.deleteValue("v"));

    r.createKey("\\A\\B\\C\\D");
    r.createKey("\\A\\E");
    EXPECT_TRUE(r.deleteKey("\\A\\b"));  // with all its subkeys
    EXPECT_FALSE(r.deleteKey("\\A\\B"));
    EXPECT_FALSE(r.openKey("\\A\\B\\C\\D"));
    EXPECT_FALSE(r.deleteKey("\\"));
    // The current key was \A\B: it is gone, so writing to it fails.
    EXPECT_EQ(test::registryFailureOf([&] { r.writeString("w", "x"); }),
              "Failed to set data for 'w'");
    ASSERT_TRUE(r.openKey("\\A"));
    EXPECT_EQ(r.keyNames(), Names{"E"});
}

TEST(RegistryOperations, MemoryBatchIsAllOrNothing) {
    MemoryRegistry r;
    r.createKey("\\K");
    const RegistryTree before = r.tree();
    const int commits = r.commits();
    EXPECT_THROW(r.batch([&] {
        r.createKey("\\K\\New");
        ASSERT_TRUE(r.openKey("\\K"));
        r.writeString("a", "b");
        r.batch([&] { r.readInteger("missing"); });  // nested: the failure ends the whole batch
    }),
                 RegistryError);
    EXPECT_TRUE(r.tree() == before);
    EXPECT_EQ(r.commits(), commits);

    r.batch([&] {
        r.createKey("\\K\\New");
        ASSERT_TRUE(r.openKey("\\K\\New"));
        r.writeInteger("a", 1);
        r.writeInteger("b", 2);
    });
    EXPECT_EQ(r.commits(), commits + 1);

    r.setReadOnly(true);
    EXPECT_EQ(test::registryFailureOf([&] { r.writeInteger("a", 5); }),
              "Failed to set data for 'a'");
    EXPECT_EQ(test::registryFailureOf([&] { r.createKey("\\Z"); }), "Failed to create key \\Z");
    EXPECT_FALSE(r.deleteKey("\\K"));
    EXPECT_EQ(r.readInteger("a"), 1);
}

}  // namespace
}  // namespace lan2com
