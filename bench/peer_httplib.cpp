// cpp-httplib's Client doing what our blocking Get does, for bench/run (see peer.h). Its
// client closes the connection after every request unless keep-alive is switched on, so
// each GET connects anew, as ours does with HTTP/1.0.

#include "peer.h"

#include <cstdio>
#include <httplib.h>
#include <string>

namespace {

class HttplibClient {
public:
    // The origin is fixed per client object, so it is taken from the first URL.
    std::string get(const std::string& url, bench::Outcome& outcome) {
        auto result = client(url).Get(path(url));
        if (!result) {
            outcome.error = httplib::to_string(result.error());
            return {};
        }
        outcome.status = result->status;
        return std::move(result->body);
    }

    void getToFile(const std::string& url, const std::string& path, bench::Outcome& outcome) {
        FILE* file = std::fopen(path.c_str(), "wb");
        if (file == nullptr) {
            outcome.error = "cannot open " + path;
            return;
        }
        auto result = client(url).Get(this->path(url), [file](const char* data, size_t length) {
            return std::fwrite(data, 1, length, file) == length;
        });
        if (!result) {
            outcome.error = httplib::to_string(result.error());
        } else {
            outcome.status = result->status;
        }
        if (std::fclose(file) != 0 && outcome.error.empty()) {
            outcome.error = "cannot close " + path;
        }
    }

private:
    // "http://host:port/path": the origin is everything before the first "/" after "//".
    static size_t pathStart(const std::string& url) {
        const size_t slash = url.find('/', url.find("//") + 2);
        return slash == std::string::npos ? url.size() : slash;
    }
    static std::string path(const std::string& url) {
        const std::string rest = url.substr(pathStart(url));
        return rest.empty() ? "/" : rest;
    }
    httplib::Client& client(const std::string& url) {
        if (!client_) {
            client_ = std::make_unique<httplib::Client>(url.substr(0, pathStart(url)));
            client_->set_read_timeout(30, 0);
        }
        return *client_;
    }

    std::unique_ptr<httplib::Client> client_;
};

} // namespace

int main(int argc, char** argv) {
    HttplibClient client;
    return bench::runPeer(argc, argv, client);
}
