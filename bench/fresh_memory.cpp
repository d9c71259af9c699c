// How fast this machine hands a process fresh memory: the first write to each page of a new
// anonymous mapping, which costs a page fault. Any client that receives a body into memory
// it has not touched before pays this once per page at least, so bench/run draws it in the
// throughput picture as the ceiling of a GET into memory. On virtual machines a fault can
// cost more than copying the page's bytes many times over.
//
//   bench_fresh_memory [MIB]   prints "fresh memory: N MiB/s" for MIB MiB (default 256)

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sys/mman.h>
#include <unistd.h>

int main(int argc, char** argv) {
    const long mib = argc > 1 ? std::atol(argv[1]) : 256;
    if (mib < 1 || mib > 65536) {
        std::fprintf(stderr, "usage: %s [MiB, 1 .. 65536]\n", argv[0]);
        return 2;
    }
    const size_t bytes = static_cast<size_t>(mib) << 20;
    const auto page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    void* mapping =
        ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) {
        std::perror("fresh_memory: mmap");
        return 1;
    }
    // Volatile, so the writes cannot be folded away.
    auto* bytesOf = static_cast<volatile char*>(mapping);
    const auto start = std::chrono::steady_clock::now();
    for (size_t offset = 0; offset < bytes; offset += page) {
        bytesOf[offset] = 1;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ::munmap(mapping, bytes);
    std::printf("fresh memory: %.1f MiB/s (%ld MiB in %.3f s, %.2f us per %zu-byte page)\n",
                mib / seconds, mib, seconds, seconds / static_cast<double>(bytes / page) * 1e6,
                page);
    return 0;
}
