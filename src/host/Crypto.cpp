#include "host/Crypto.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QRandomGenerator>
#include <random>
#include <utility>

namespace host {

namespace {

QByteArrayView viewOf(std::string_view bytes) {
    return QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

std::string toStd(const QByteArray& bytes) {
    return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

} // namespace

std::string MD5(std::string_view bytes) {
    return toStd(QCryptographicHash::hash(viewOf(bytes), QCryptographicHash::Md5));
}

struct MD5Digest::Impl {
    QCryptographicHash hash{QCryptographicHash::Md5};
};

MD5Digest::MD5Digest() : impl_(std::make_unique<Impl>()) {}
MD5Digest::~MD5Digest() = default;

void MD5Digest::Process(std::string_view bytes) {
    impl_->hash.addData(viewOf(bytes));
}

void MD5Digest::Clear() {
    impl_->hash.reset();
}

std::string MD5Digest::Value() const {
    return toStd(impl_->hash.result());
}

std::string EncodeBase64(std::string_view bytes, int64_t lineWidth) {
    const QByteArray encoded =
        QByteArray::fromRawData(bytes.data(), static_cast<qsizetype>(bytes.size())).toBase64();
    const auto total = static_cast<size_t>(encoded.size());
    if (lineWidth <= 0 || total <= static_cast<uint64_t>(lineWidth)) {
        return toStd(encoded);
    }
    const auto width = static_cast<size_t>(lineWidth);
    std::string out;
    out.reserve(total + 2 * (total / width));
    for (size_t at = 0; at < total; at += width) {
        if (at > 0) {
            out.append("\r\n");
        }
        out.append(encoded.constData() + at, std::min(width, total - at));
    }
    return out;
}

std::string DecodeBase64(std::string_view text) {
    // Characters outside the alphabet (line breaks among them) are skipped.
    return toStd(QByteArray::fromBase64(
        QByteArray::fromRawData(text.data(), static_cast<qsizetype>(text.size()))));
}

struct Random::Impl {
    std::mt19937_64 engine;
};

Random::Random() : impl_(std::make_unique<Impl>()) {
    // Seeded from the operating system's entropy source: std::random_device is not
    // guaranteed to be non-deterministic on every toolchain, this is.
    std::seed_seq seed{
        QRandomGenerator::system()->generate(), QRandomGenerator::system()->generate(),
        QRandomGenerator::system()->generate(), QRandomGenerator::system()->generate(),
        QRandomGenerator::system()->generate(), QRandomGenerator::system()->generate(),
        QRandomGenerator::system()->generate(), QRandomGenerator::system()->generate()};
    impl_->engine.seed(seed);
}

Random::~Random() = default;

int64_t Random::InRange(int64_t low, int64_t high) {
    if (low > high) {
        std::swap(low, high);
    }
    return std::uniform_int_distribution<int64_t>(low, high)(impl_->engine);
}

} // namespace host
