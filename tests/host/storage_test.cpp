#include "host/Exceptions.h"
#include "host/Storage.h"
#include "support/RealServers.h"

#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <set>

namespace {

using host::BinaryStream;
using host::FolderItem;
using host::IOException;
using host::MemoryBlock;

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class StorageFiles : public ::testing::Test {
protected:
    std::string path(const char* name) const { return dir_.file(name); }
    testsupport::TempDir dir_{"tamsel-storage"};
};

TEST(MemoryBlock, StringValueClipsToTheBlock) {
    MemoryBlock block(4);
    EXPECT_EQ(block.StringValue(0, 4), std::string(4, '\0'));
    block.SetSize(0);
    block.Append("hello");
    EXPECT_EQ(block.Size(), 5);
    EXPECT_EQ(block.StringValue(1, 3), "ell");
    EXPECT_EQ(block.StringValue(3, 100), "lo");
    EXPECT_EQ(block.StringValue(5, 1), "");
    EXPECT_EQ(block.StringValue(-2, 4), "he");
    EXPECT_EQ(block.StringValue(0, 0), "");
    EXPECT_EQ(block.TakeString(4), "hell");
    EXPECT_EQ(block.Size(), 0);
    EXPECT_THROW(block.SetSize(-1), host::OutOfBoundsException);
}

// Collecting n bytes must not copy the block for every piece: the buffer may move only a
// logarithmic number of times.
TEST(MemoryBlock, OneByteAppendsReallocateLogarithmically) {
    MemoryBlock block;
    std::set<const char*> buffers;
    constexpr int n = 1 << 20;
    for (int i = 0; i < n; ++i) {
        block.Append("x");
        buffers.insert(block.Bytes().data());
    }
    EXPECT_EQ(block.Size(), n);
    EXPECT_LE(buffers.size(), 64u);
}

TEST(BinaryStream, WritingToAnEmptyMemoryBlockGrowsIt) {
    auto block = std::make_shared<MemoryBlock>();
    BinaryStream stream(block);
    stream.Write("abc");
    stream.Write(std::string("\0d", 2));
    EXPECT_EQ(block->StringValue(0, 10), std::string("abc\0d", 5));
    stream.Close();
    EXPECT_FALSE(stream.IsOpen());
    EXPECT_THROW(stream.Write("x"), IOException);
    EXPECT_THROW(BinaryStream(nullptr), host::NilObjectException);
}

TEST_F(StorageFiles, CreateOverwritesOrRefusesAnExistingFile) {
    const FolderItem file(path("body.bin"));
    EXPECT_FALSE(file.Exists());
    {
        auto stream = BinaryStream::Create(file, true);
        stream->Write("first version");
        stream->Close();
    }
    EXPECT_TRUE(file.Exists());
    EXPECT_FALSE(file.Directory());
    EXPECT_EQ(readFile(file.NativePath()), "first version");

    EXPECT_THROW(BinaryStream::Create(file, false), IOException);
    EXPECT_EQ(readFile(file.NativePath()), "first version");

    auto stream = BinaryStream::Create(file, true);
    EXPECT_EQ(readFile(file.NativePath()), "");
    stream->Write(std::string("\r\n\0", 3));
    EXPECT_EQ(readFile(file.NativePath()), std::string("\r\n\0", 3)); // written through
    stream->Close();
    EXPECT_THROW(stream->Write("late"), IOException);
}

TEST_F(StorageFiles, FilesThatCannotBeCreatedRaiseIOException) {
    const FolderItem folder(dir_.path());
    EXPECT_TRUE(folder.Exists());
    EXPECT_TRUE(folder.Directory());
    EXPECT_THROW(BinaryStream::Create(folder, true), IOException);
    EXPECT_THROW(folder.CreateTextFile(), IOException);

    const FolderItem missing(path("no-such-folder/file.txt"));
    EXPECT_FALSE(missing.Exists());
    EXPECT_FALSE(missing.Directory());
    EXPECT_THROW(BinaryStream::Create(missing, true), IOException);
    EXPECT_THROW(missing.CreateTextFile(), IOException);
    EXPECT_FALSE(FolderItem("").Exists());
}

TEST_F(StorageFiles, CreateTextFileEmptiesAnExistingFile) {
    const FolderItem file(path("download.txt"));
    { std::ofstream(file.NativePath()) << "old content"; }
    auto text = file.CreateTextFile();
    ASSERT_NE(text, nullptr);
    text->Close();
    EXPECT_TRUE(file.Exists());
    EXPECT_EQ(readFile(file.NativePath()), "");
}

#ifdef __linux__
// /dev/full accepts the open and fails every write with "no space left", like a full disk.
TEST(BinaryStream, WriteToFullDeviceRaisesIOException) {
    auto stream = BinaryStream::Create(FolderItem("/dev/full"), true);
    EXPECT_THROW(stream->Write("data"), IOException);
    auto text = FolderItem("/dev/full").CreateTextFile();
    EXPECT_THROW(text->Write("data"), IOException);
}
#endif

} // namespace
