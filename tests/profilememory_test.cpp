// INI files kept in memory (what explore uses): read from disk once, then edited in memory
// with the same rules, the file on disk left as it was.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "kvplatform.h"

namespace {

class ProfileMemoryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/kvplat-inimem-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/vuelog.err";
    }
    void TearDown() override
    {
        kvplat::KeepProfilesInMemory(false);
        std::remove(path_.c_str());
        rmdir(dir_.c_str());
    }
    std::string OnDisk() const
    {
        std::ifstream in(path_, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    std::string Read(const char* key, const std::string& path) const
    {
        char buf[64];
        GetPrivateProfileStringA("DEVICE", key, "(none)", buf, sizeof buf, path.c_str());
        return buf;
    }
    std::string dir_;
    std::string path_;
};

TEST_F(ProfileMemoryTest, EditsStayInMemoryAndFollowTheFileRules)
{
    std::ofstream(path_, std::ios::binary) << "; kept\n[device]\nMODELNAME=old\n";
    kvplat::KeepProfilesInMemory(true);
    EXPECT_EQ(Read("MODELNAME", path_), "old") << "the file is read from disk the first time";
    EXPECT_TRUE(WritePrivateProfileStringA("DEVICE", "modelname", "new", path_.c_str()));
    EXPECT_TRUE(WritePrivateProfileStringA("DEVICE", "PORTNAME", "USB001", path_.c_str()));
    EXPECT_EQ(Read("MODELNAME", path_), "new");
    EXPECT_EQ(Read("PORTNAME", dir_ + "\\vuelog.err"), "USB001") << "the Windows spelling names the same file";
    EXPECT_TRUE(WritePrivateProfileStringA("DEVICE", "PORTNAME", NULL, path_.c_str()));
    EXPECT_EQ(Read("PORTNAME", path_), "(none)");
    EXPECT_EQ(OnDisk(), "; kept\n[device]\nMODELNAME=old\n");

    // A change on disk is not seen while the file is in memory; switching off forgets it.
    std::ofstream(path_, std::ios::binary) << "[DEVICE]\nMODELNAME=disk\n";
    EXPECT_EQ(Read("MODELNAME", path_), "new");
    kvplat::KeepProfilesInMemory(false);
    EXPECT_EQ(Read("MODELNAME", path_), "disk");
}

TEST_F(ProfileMemoryTest, ANewFileNeedsItsFolderAndAppearsOnlyInMemory)
{
    kvplat::KeepProfilesInMemory(true);
    std::string missing = dir_ + "/nodir/vuelog.err";
    SetLastError(0);
    EXPECT_FALSE(WritePrivateProfileStringA("DEVICE", "K", "v", missing.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(Read("K", missing), "(none)");

    EXPECT_TRUE(WritePrivateProfileStringA("DEVICE", "K", "v", path_.c_str()));
    EXPECT_EQ(Read("K", path_), "v");
    EXPECT_NE(access(path_.c_str(), F_OK), 0) << "nothing is written to disk";
    // Turning it on again starts from the disk too.
    kvplat::KeepProfilesInMemory(true);
    EXPECT_EQ(Read("K", path_), "(none)");
}

}  // namespace
