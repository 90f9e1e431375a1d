#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/DynamicLibrary.h"
#include "platform/FileSystem.h"
#include "platform/MemoryFileSystem.h"

namespace zelmar::platform {
namespace {

struct TempDir {
    std::string path;
    TempDir() {
        char name[] = "/tmp/zelmar-files-XXXXXX";
        path = mkdtemp(name);
    }
    ~TempDir() { std::system(("rm -rf " + path).c_str()); }
};

// The same contract, checked on both file systems.
void CheckFileContract(IFileSystem& files, const std::string& dir) {
    const std::string name = dir + "\\data.bin";  // a Windows-style separator
    EXPECT_EQ(files.Open(name.c_str(), OpenMode::kReadExisting), nullptr);  // must exist
    {
        auto file = files.Open(name.c_str(), OpenMode::kWriteKeep);
        ASSERT_NE(file, nullptr);
        const char text[] = "0123456789";
        EXPECT_EQ(file->Write(text, 10), 10);
        EXPECT_TRUE(file->Seek(2));
        EXPECT_EQ(file->Write("ab", 2), 2);
        EXPECT_EQ(file->Tell(), 4u);
    }
    {
        // Reopening for writing keeps what is there.
        auto file = files.Open(name.c_str(), OpenMode::kWriteKeep);
        ASSERT_NE(file, nullptr);
        char back[16] = {};
        EXPECT_EQ(file->Read(back, 16), 10);  // short read at the end
        EXPECT_EQ(std::string(back), "01ab456789");
        EXPECT_EQ(file->Read(back, 16), 0);
        EXPECT_TRUE(file->Seek(0));
        EXPECT_TRUE(file->Skip(8));
        EXPECT_EQ(file->Read(back, 2), 2);
        EXPECT_EQ(std::string(back, 2), "89");
    }
    auto reader = files.Open((dir + "/data.bin").c_str(), OpenMode::kReadExisting);
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(reader->Write("x", 1), -1);  // read-only
    EXPECT_TRUE(files.Delete(name.c_str()));
    EXPECT_FALSE(files.Delete(name.c_str()));
    EXPECT_TRUE(files.CreateDirectory((dir + "/sub").c_str()));
    EXPECT_FALSE(files.CreateDirectory((dir + "/sub").c_str()));  // exists already
    EXPECT_FALSE(files.CreateDirectory(""));
    EXPECT_EQ(files.Open(nullptr, OpenMode::kWriteKeep), nullptr);
}

TEST(Files, PosixFileSystemKeepsTheContract) {
    TempDir dir;
    auto files = CreatePosixFileSystem();
    CheckFileContract(*files, dir.path);
    EXPECT_EQ(files->Open(dir.path.c_str(), OpenMode::kReadExisting), nullptr);  // a directory is no file
}

TEST(Files, MemoryFileSystemKeepsTheContract) {
    MemoryFileSystem files;
    CheckFileContract(files, "mem");
}

TEST(Files, MemoryFilesBeyondTheStoredLimitKeepOnlyTheirSize) {
    MemoryFileSystem files(/*storedBytesPerFile=*/8);
    auto file = files.Open("big", OpenMode::kWriteKeep);
    std::vector<char> block(100, 'z');
    EXPECT_EQ(file->Write(block.data(), 100), 100);
    EXPECT_EQ(files.SizeOf("big"), 100u);
    EXPECT_EQ(files.Contents("big"), std::vector<uint8_t>(8, 'z'));
    ASSERT_TRUE(file->Seek(50));
    char back[4];
    EXPECT_EQ(file->Read(back, 4), 4);
    EXPECT_EQ(back[0], 0);  // not stored: reads back as zero
}

TEST(Libraries, DlopenFindsSystemLibrariesAndTheirSymbols) {
    auto loader = CreateDlopenLibraryLoader();
    auto libm = loader->Load("libm.so.6");
    ASSERT_NE(libm, nullptr);
    auto* cosine = reinterpret_cast<double (*)(double)>(libm->Symbol("cos"));
    ASSERT_NE(cosine, nullptr);
    EXPECT_DOUBLE_EQ(cosine(0.0), 1.0);
    EXPECT_EQ(libm->Symbol("no_such_symbol_here"), nullptr);
    EXPECT_EQ(libm->Symbol(nullptr), nullptr);
    EXPECT_EQ(loader->Load("libZelmarNoSuchLibrary.so"), nullptr);
    EXPECT_EQ(loader->Load(""), nullptr);
}

}  // namespace
}  // namespace zelmar::platform
