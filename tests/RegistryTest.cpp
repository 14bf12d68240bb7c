#include "config/Registry.h"

#include "tests/support/TempSettingsStore.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

constexpr char kBase[] = "SOFTWARE\\ORMASYS\\KOV";
constexpr char kPluxKey[] = "SOFTWARE\\ORMASYS\\KOV\\PLUX Details";

TEST(RegistryTest, KeyWithoutValuesSurvivesAndEverythingIsOwnerOnly)
{
    TempSettingsStore store;
    CRegistry missing;
    EXPECT_EQ(missing.Open(HKEY_CURRENT_USER, kBase, "PLUX Details", 0), 0);
    EXPECT_FALSE(fs::exists(store.Path() + "/config"));

    // A umask that takes the owner's write bit must not leave keys unwritable.
    const mode_t oldMask = umask(0277);
    EXPECT_EQ(CRegistry().Open(HKEY_CURRENT_USER, kBase, "PLUX Details", 1), 1);
    CRegistry registry;
    ASSERT_EQ(registry.Open(HKEY_CURRENT_USER, kBase, "PLUX Details", 0), 1);
    EXPECT_TRUE(registry.ValueNames().empty());
    EXPECT_EQ(registry.WriteString("Record Count", "0"), 1);
    umask(oldMask);

    for (const fs::path& path : {fs::path(store.Path()) / "config", store.KeyFolder(""), store.KeyFolder(kBase),
                                 store.KeyFolder(kPluxKey), store.KeyFolder(kPluxKey) / "values.txt"}) {
        struct stat status {};
        ASSERT_EQ(stat(path.c_str(), &status), 0) << path;
        EXPECT_EQ(status.st_mode & 0777, S_ISDIR(status.st_mode) ? 0700u : 0600u) << path;
    }
}

TEST(RegistryTest, AnyTextComesBackExactly)
{
    TempSettingsStore store;
    const std::vector<StoredValue> values = {
        {"0", "1,QA,239.1.1.1,5000,UDP,MULTICAST,239.2.2.2,6000,UDP,MULTICAST,Y,N,"},
        {"#name=with=equals", "# text=with=equals"},
        {"lines", "one\ntwo\r\n\\n is no escape\\"},
        {"", "  blanks kept  "},
        {"empty", ""},
    };
    CRegistry writer;
    ASSERT_EQ(writer.Open(HKEY_CURRENT_USER, kBase, "Texts", 1), 1);
    for (const StoredValue& value : values)
        EXPECT_EQ(writer.WriteString(value.Name.c_str(), value.Text.c_str()), 1) << value.Name;

    CRegistry reader;
    ASSERT_EQ(reader.Open(HKEY_CURRENT_USER, kBase, "Texts", 0), 1);
    for (size_t i = 0; i < values.size(); ++i)
        EXPECT_EQ(reader.ReadString(values[i].Name.c_str()), values[i].Text) << values[i].Name;
}

TEST(RegistryTest, DamagedFileIsKeptAsideOnWriteAndUnreadableOneIsLeftAlone)
{
    TempSettingsStore store;
    fs::create_directories(store.KeyFolder(kPluxKey));
    // As a hand edit on another system could leave it: CRLF line ends and broken lines.
    const std::string damaged = "# edited\r\nRecord Count=2\r\n0=1,QA,\r\nno separator\r\n1=bad \\q escape\r\n"
                                "Host Side IP=198.18.0.2\r\nRecord Count=3\r\n";
    std::ofstream(store.KeyFolder(kPluxKey) / "values.txt", std::ios::binary) << damaged;

    CRegistry registry;
    ASSERT_EQ(registry.Open(HKEY_CURRENT_USER, kBase, "PLUX Details", 0), 1);
    EXPECT_EQ(registry.ReadString("Record Count"), "3");
    EXPECT_EQ(registry.ReadString("1"), "");
    EXPECT_EQ(registry.WriteString("Auto Start", "1,"), 1);
    EXPECT_EQ(registry.WriteString("Auto Start", ""), 1);

    std::vector<fs::path> copies;
    for (const auto& entry : fs::directory_iterator(store.KeyFolder(kPluxKey)))
        if (entry.path().filename().string().starts_with("values.txt.damaged-"))
            copies.push_back(entry.path());
    ASSERT_EQ(copies.size(), 1u) << "one copy, made by the first write only";
    EXPECT_EQ(ReadFile(copies[0]), damaged);
    EXPECT_EQ(registry.ReadString("Host Side IP"), "198.18.0.2");
    EXPECT_EQ(registry.ReadString("0"), "1,QA,");

    // A FIFO in its place: reading must neither hang nor succeed, and no write replaces it.
    const fs::path values = store.KeyFolder(kPluxKey) / "values.txt";
    ASSERT_TRUE(fs::remove(values));
    ASSERT_EQ(mkfifo(values.c_str(), 0600), 0);
    EXPECT_EQ(registry.ReadString("0"), "");
    EXPECT_EQ(registry.WriteString("0", "1,"), 0);
    EXPECT_TRUE(fs::is_fifo(values));
}

}  // namespace
