// libcurl's easy interface doing what our blocking Get does, for bench/run (see peer.h).
// One easy handle serves every call, as a program would keep one; HTTP/1.0 makes the server
// close each connection, as it does for ours.

#include "peer.h"

#include <cstdio>
#include <curl/curl.h>
#include <string>

namespace {

size_t appendToString(char* data, size_t size, size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

class LibcurlClient {
public:
    LibcurlClient() : handle_(curl_easy_init()) {
        curl_easy_setopt(handle_, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_0);
        curl_easy_setopt(handle_, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(handle_, CURLOPT_TIMEOUT, 30L);
    }
    ~LibcurlClient() { curl_easy_cleanup(handle_); }
    LibcurlClient(const LibcurlClient&) = delete;
    LibcurlClient& operator=(const LibcurlClient&) = delete;

    std::string get(const std::string& url, bench::Outcome& outcome) {
        std::string body;
        curl_easy_setopt(handle_, CURLOPT_WRITEFUNCTION, appendToString);
        curl_easy_setopt(handle_, CURLOPT_WRITEDATA, &body);
        perform(url, outcome);
        return body;
    }

    void getToFile(const std::string& url, const std::string& path, bench::Outcome& outcome) {
        FILE* file = std::fopen(path.c_str(), "wb");
        if (file == nullptr) {
            outcome.error = "cannot open " + path;
            return;
        }
        // With no write function of ours, libcurl fwrite()s into the FILE* itself.
        curl_easy_setopt(handle_, CURLOPT_WRITEFUNCTION, nullptr);
        curl_easy_setopt(handle_, CURLOPT_WRITEDATA, file);
        perform(url, outcome);
        if (std::fclose(file) != 0 && outcome.error.empty()) {
            outcome.error = "cannot close " + path;
        }
    }

private:
    void perform(const std::string& url, bench::Outcome& outcome) {
        curl_easy_setopt(handle_, CURLOPT_URL, url.c_str());
        const CURLcode code = curl_easy_perform(handle_);
        if (code != CURLE_OK) {
            outcome.error = curl_easy_strerror(code);
        }
        long status = 0;
        curl_easy_getinfo(handle_, CURLINFO_RESPONSE_CODE, &status);
        outcome.status = status;
    }

    CURL* handle_;
};

} // namespace

int main(int argc, char** argv) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    int status = 0;
    {
        LibcurlClient client;
        status = bench::runPeer(argc, argv, client);
    }
    curl_global_cleanup();
    return status;
}
