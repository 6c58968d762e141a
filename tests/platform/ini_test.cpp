#include <gtest/gtest.h>

#include "platform/ini_file.h"
#include "temp_dir.h"

namespace {

TEST(IniFile, ReadRules) {
    TempDir dir;
    write_file(dir.file("a.ini"),
               "[s]\r\n Key = \"quoted value\" \r\nnum=  12abc\nneg=-3\nempty=\n"
               "; k=commented\nbroken line\n[t]\nkey=other\n");
    CIniFile ini(dir.file("a.ini"));
    struct Case {
        const char *section, *key, *def, *want;
    } strings[] = {
        {"s", "key", "d", "quoted value"},
        {"S", "KEY", "d", "quoted value"},
        {"s", "k", "d", "d"},
        {"s", "empty", "d", ""},
        {"t", "key", "d", "other"},
        {"u", "key", "d", "d"},
    };
    for (const Case &c : strings)
        EXPECT_EQ(ini.get_string(c.section, c.key, c.def), c.want) << c.section << "." << c.key;
    EXPECT_EQ(ini.get_int("s", "num", 0), 12);
    EXPECT_EQ(ini.get_int("s", "neg", 0), -3);
    EXPECT_EQ(ini.get_int("s", "missing", 77), 77);
    EXPECT_EQ(ini.get_string("s", "key", "", 6), "quoted");
}

TEST(IniFile, MissingFileIsEmptyAndWriteCreatesIt) {
    TempDir dir;
    CIniFile ini(dir.file("none.ini"));
    EXPECT_FALSE(ini.has("common", "x"));
    ini.set_int("common", "x", 5);
    ASSERT_EQ(ini.save(), 0);
    EXPECT_EQ(read_file(dir.file("none.ini")), "[common]\nx=5\n");
}

TEST(IniFile, FailedSaveLeavesTheFileAlone) {
    TempDir dir;
    write_file(dir.file("a.ini"), "[common]\nx=1\n");
    CIniFile ini(dir.file("a.ini"));
    ini.set_int("common", "x", 2);
    std::filesystem::create_directory(dir.file("a.ini.tmp"));  // the temporary cannot be made
    EXPECT_EQ(ini.save(), -1);
    EXPECT_EQ(read_file(dir.file("a.ini")), "[common]\nx=1\n");
}

}  // namespace
