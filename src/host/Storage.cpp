#include "host/Storage.h"

#include "host/Backend.h"
#include "host/Exceptions.h"
#include "host/Strings.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>

namespace host {

namespace {

std::string describeErrno(int error) {
    return std::strerror(error);
}

std::filesystem::path pathOf(const std::string& utf8) {
    return std::filesystem::path(
        std::u8string(reinterpret_cast<const char8_t*>(utf8.data()), utf8.size()));
}

size_t checkedSize(int64_t size) {
    if (size < 0) {
        throw OutOfBoundsException("MemoryBlock size " + Int64ToText(size) + " is negative");
    }
    return static_cast<size_t>(size);
}

// Writes everything and flushes, so a full disk is reported by the Write that hit it.
void writeAll(std::FILE* file, std::string_view bytes, const char* what) {
    if (!file) {
        throw IOException(std::string(what) + " is closed");
    }
    errno = 0;
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) {
        throw IOException(std::string(what) + " write failed: " + describeErrno(errno));
    }
    if (std::fflush(file) != 0) {
        throw IOException(std::string(what) + " write failed: " + describeErrno(errno));
    }
}

} // namespace

MemoryBlock::MemoryBlock(int64_t size) : data_(checkedSize(size), '\0') {}

int64_t MemoryBlock::Size() const {
    return static_cast<int64_t>(data_.size());
}

void MemoryBlock::SetSize(int64_t size) {
    data_.resize(checkedSize(size), '\0');
}

std::string MemoryBlock::StringValue(int64_t offset, int64_t length) const {
    if (offset < 0) {
        length += offset;
        offset = 0;
    }
    if (length <= 0 || static_cast<uint64_t>(offset) >= data_.size()) {
        return {};
    }
    const size_t from = static_cast<size_t>(offset);
    const size_t count = std::min(data_.size() - from, static_cast<size_t>(length));
    return data_.substr(from, count);
}

void MemoryBlock::Append(std::string_view bytes) {
    // std::string grows its capacity geometrically, which keeps n appended bytes O(n).
    data_.append(bytes);
}

void MemoryBlock::Reserve(int64_t size) {
    if (size > 0 && static_cast<size_t>(size) > data_.capacity()) {
        data_.reserve(static_cast<size_t>(size));
    }
}

std::string MemoryBlock::TakeString(int64_t length) {
    std::string out = std::move(data_);
    data_ = std::string();
    out.resize(std::min(out.size(), length < 0 ? size_t{0} : static_cast<size_t>(length)));
    return out;
}

BinaryStream::BinaryStream(std::shared_ptr<MemoryBlock> block) : block_(std::move(block)) {
    if (!block_) {
        throw NilObjectException("BinaryStream over a nil MemoryBlock");
    }
}

BinaryStream::~BinaryStream() {
    Close();
}

std::shared_ptr<BinaryStream> BinaryStream::Create(const FolderItem& file, bool overwrite) {
    if (file.Directory()) {
        throw IOException("\"" + file.NativePath() + "\" is a folder");
    }
    // "x" refuses an existing file, which is what creating without overwrite means.
    std::FILE* handle = backend::openFile(file.NativePath(), overwrite ? "wb" : "wbx");
    if (!handle) {
        throw IOException("cannot create \"" + file.NativePath() + "\": " + describeErrno(errno));
    }
    std::shared_ptr<BinaryStream> stream(new BinaryStream());
    stream->file_ = handle;
    return stream;
}

void BinaryStream::Write(std::string_view bytes) {
    if (block_) {
        block_->Append(bytes);
        return;
    }
    writeAll(file_, bytes, "BinaryStream");
}

void BinaryStream::Close() {
    if (file_) {
        std::fclose(file_);
        file_ = nullptr;
    }
    block_.reset();
}

bool BinaryStream::IsOpen() const {
    return file_ != nullptr || block_ != nullptr;
}

TextOutputStream::~TextOutputStream() {
    Close();
}

void TextOutputStream::Write(std::string_view text) {
    writeAll(file_, text, "TextOutputStream");
}

void TextOutputStream::Close() {
    if (file_) {
        std::fclose(file_);
        file_ = nullptr;
    }
}

FolderItem::FolderItem(std::string path) : path_(std::move(path)) {}

bool FolderItem::Exists() const {
    std::error_code error;
    return !path_.empty() && std::filesystem::exists(pathOf(path_), error);
}

bool FolderItem::Directory() const {
    std::error_code error;
    return !path_.empty() && std::filesystem::is_directory(pathOf(path_), error);
}

std::unique_ptr<TextOutputStream> FolderItem::CreateTextFile() const {
    if (Directory()) {
        throw IOException("\"" + path_ + "\" is a folder");
    }
    std::FILE* handle = path_.empty() ? nullptr : backend::openFile(path_, "wb");
    if (!handle) {
        throw IOException("cannot create \"" + path_ + "\": " + describeErrno(errno));
    }
    return std::make_unique<TextOutputStream>(handle);
}

bool FolderItem::Writeable() const {
    if (path_.empty() || Directory()) {
        return false;
    }
    // "r+" opens for writing without creating or emptying.
    std::FILE* handle = backend::openFile(path_, "r+b");
    if (!handle) {
        return false;
    }
    std::fclose(handle);
    return true;
}

bool FolderItem::Delete() const {
    std::error_code error;
    std::filesystem::remove(pathOf(path_), error);
    return !error;
}

bool FolderItem::MoveOver(const FolderItem& target) const {
    std::error_code error;
    std::filesystem::rename(pathOf(path_), pathOf(target.path_), error);
    return !error;
}

} // namespace host
