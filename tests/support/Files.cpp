// File helpers and the temporary folder's common part, for every platform; where a
// temporary folder is made differs (see the real-server launchers).

#include "support/RealServers.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace testsupport {

std::string readFile(const std::string& path) {
    std::ifstream in(fs::path(path), std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeFile(const std::string& path, std::string_view content) {
    std::ofstream out(fs::path(path), std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

std::string TempDir::file(std::string_view name) const {
    return path_ + "/" + std::string(name);
}

std::string TempDir::write(std::string_view name, std::string_view content) const {
    const std::string path = file(name);
    fs::create_directories(fs::path(path).parent_path());
    writeFile(path, content);
    return path;
}

} // namespace testsupport
