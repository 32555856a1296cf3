// Splitting element-wise work over threads.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <thread>
#include <vector>

namespace tavni::mt_map {

// Calls work(begin, end) on consecutive blocks of [0, n) from up to
// `threads` threads, the calling one included. Blocks are handed out from a
// shared counter, so a thread that draws cheap elements (masked background,
// say) takes more blocks instead of idling at the end. When no thread can
// be started, fewer (or only the calling one) do the work. work must not
// throw.
template <typename Work>
void parallel_blocks(std::size_t n, std::size_t block, unsigned threads, const Work &work) noexcept {
    const std::size_t blocks = (n + block - 1) / block;
    std::atomic<std::size_t> next{0};
    auto run = [&]() noexcept {
        for (std::size_t k; (k = next.fetch_add(1, std::memory_order_relaxed)) < blocks;) {
            work(k * block, std::min(n, (k + 1) * block));
        }
    };
    const std::size_t helpers =
        std::min<std::size_t>(threads > 0 ? threads - 1 : 0, blocks > 0 ? blocks - 1 : 0);
    std::vector<std::thread> pool;
    try {
        pool.reserve(helpers);
        for (std::size_t t = 0; t < helpers; ++t) {
            pool.emplace_back(run);
        }
    } catch (...) {
        // No (more) threads to be had: those started and this one do it all.
    }
    run();
    for (std::thread &t : pool) {
        t.join();
    }
}

}  // namespace tavni::mt_map
