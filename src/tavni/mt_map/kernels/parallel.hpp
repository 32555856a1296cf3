// Splitting element-wise work over threads.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <thread>
#include <vector>

namespace tavni::mt_map {

// Asked now and then during a long computation whether to go on: the hook
// through which a caller can stop it (on an interrupt, say). No ask: always.
struct KeepGoing {
    bool (*ask)(void *context) noexcept = nullptr;
    void *context = nullptr;

    bool operator()() const noexcept { return ask == nullptr || ask(context); }
};

// Calls work(begin, end) on consecutive blocks of [0, n) from up to
// `threads` threads, the calling one included. Blocks are handed out from a
// shared counter, so a thread that draws cheap elements (masked background,
// say) takes more blocks instead of idling at the end. When no thread can
// be started, fewer (or only the calling one) do the work.
//
// Between two of its blocks the calling thread asks keep_going(); once that
// says false, no thread starts another block, the blocks under way finish,
// and parallel_blocks returns false (blocks may be left undone); otherwise
// it returns true, every block done. Neither work nor keep_going may throw.
template <typename Work, typename KeepGoing>
bool parallel_blocks(std::size_t n, std::size_t block, unsigned threads, const Work &work,
                     const KeepGoing &keep_going) noexcept {
    const std::size_t blocks = (n + block - 1) / block;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stopped{false};
    auto run = [&](bool caller) noexcept {
        for (std::size_t k; !stopped.load(std::memory_order_relaxed) &&
                            (k = next.fetch_add(1, std::memory_order_relaxed)) < blocks;) {
            work(k * block, std::min(n, (k + 1) * block));
            if (caller && !keep_going()) {
                stopped.store(true, std::memory_order_relaxed);
            }
        }
    };
    const std::size_t helpers =
        std::min<std::size_t>(threads > 0 ? threads - 1 : 0, blocks > 0 ? blocks - 1 : 0);
    std::vector<std::thread> pool;
    try {
        pool.reserve(helpers);
        for (std::size_t t = 0; t < helpers; ++t) {
            pool.emplace_back(run, false);
        }
    } catch (...) {
        // No (more) threads to be had: those started and this one do it all.
    }
    run(true);
    for (std::thread &t : pool) {
        t.join();
    }
    return !stopped.load(std::memory_order_relaxed);
}

// The same, never stopped early.
template <typename Work>
void parallel_blocks(std::size_t n, std::size_t block, unsigned threads,
                     const Work &work) noexcept {
    parallel_blocks(n, block, threads, work, KeepGoing{});
}

}  // namespace tavni::mt_map
