#pragma once

// Growable memory, files and binary streams.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

namespace host {

// A growable block of bytes. Appends grow the block geometrically, so collecting n bytes
// costs O(n).
class MemoryBlock {
public:
    explicit MemoryBlock(int64_t size = 0);
    int64_t Size() const;
    void SetSize(int64_t size);
    // Bytes [offset, offset+length) clipped to the block; "" when nothing is inside.
    std::string StringValue(int64_t offset, int64_t length) const;
    void Append(std::string_view bytes);
    // Capacity hint for a known final size; never shrinks.
    void Reserve(int64_t size);
    // Moves the first `length` bytes out without copying; the block is empty afterwards.
    std::string TakeString(int64_t length);
    const std::string& Bytes() const { return data_; }

private:
    std::string data_;
};

class FolderItem;

// Sequential binary writer over a memory block (appending) or over a file.
class BinaryStream {
public:
    explicit BinaryStream(std::shared_ptr<MemoryBlock> block);
    ~BinaryStream();
    BinaryStream(const BinaryStream&) = delete;
    BinaryStream& operator=(const BinaryStream&) = delete;

    // Opens the file for writing (truncating it when overwrite is true); raises IOException
    // when it cannot be created or opened.
    static std::shared_ptr<BinaryStream> Create(const FolderItem& file, bool overwrite);

    // Raises IOException when the bytes cannot be written (disk full, stream closed).
    void Write(std::string_view bytes);
    void Close();
    bool IsOpen() const;

private:
    BinaryStream() = default;
    std::shared_ptr<MemoryBlock> block_;
    std::FILE* file_ = nullptr;
};

// A text stream made by FolderItem::CreateTextFile; the program only closes it.
class TextOutputStream {
public:
    explicit TextOutputStream(std::FILE* file) : file_(file) {}
    ~TextOutputStream();
    TextOutputStream(const TextOutputStream&) = delete;
    TextOutputStream& operator=(const TextOutputStream&) = delete;
    void Write(std::string_view text);
    void Close();

private:
    std::FILE* file_;
};

// A path in the file system.
class FolderItem {
public:
    explicit FolderItem(std::string path);
    const std::string& NativePath() const { return path_; }
    bool Exists() const;
    bool Directory() const;
    // Creates (or empties) the file; raises IOException when it cannot be created.
    std::unique_ptr<TextOutputStream> CreateTextFile() const;
    // True when the file exists and can be opened for writing; it is left unchanged.
    bool Writeable() const;
    // Removes the file; false when it could not be removed (a missing file is removed).
    bool Delete() const;
    // Renames the file to target's path, replacing a file there in one step; false when the
    // rename failed, and then both are as they were.
    bool MoveOver(const FolderItem& target) const;

private:
    std::string path_;
};

} // namespace host
