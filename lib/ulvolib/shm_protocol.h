// The signature protocol of the daemon's shared-memory segments (the status block and the
// held-by-owner segment), shared by their writers and readers: each section lies between two
// signature words; a writer zeroes both, writes, then sets both to the next signature; a reader
// copies until both agree and are not 0. And the one check that a segment is the daemon's.
#pragma once

#include <time.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

struct shm_stat_block;

// Holds the daemon's own block for one write (or read by the daemon): block() is null when
// there is none or it is being removed. Keep the writer only for the one access.
class block_writer {
  public:
    block_writer();
    ~block_writer();
    block_writer(const block_writer &) = delete;
    block_writer &operator=(const block_writer &) = delete;
    shm_stat_block *block() const { return block_; }

  private:
    shm_stat_block *block_;
};

// A signature word of the block, accessed as a 32-bit atomic object.
inline std::atomic_ref<uint32_t> signature(uint32_t *word) {
    return std::atomic_ref<uint32_t>(*word);
}

// The signature after `previous`: doubled in 32 bits, 1 in place of 0.
inline uint32_t next_signature(uint32_t previous) {
    uint32_t next = previous * 2;
    return next == 0 ? 1 : next;
}

// Copies a section word by word as 32-bit atomic accesses, so that a copy racing the other
// process is a torn copy that the signatures reveal, never undefined behaviour. Stores into the
// block release (everything written before, the zeroed signatures among it, is seen first) and
// loads from it acquire (the end word cannot be read before the copy); on x86 both are plain
// moves.
inline void copy_words(void *to, const void *from, size_t length, bool into_block) {
    auto *dst = static_cast<unsigned char *>(to);
    const auto *src = static_cast<const unsigned char *>(from);
    for (size_t i = 0; i + 4 <= length; i += 4) {
        uint32_t word;
        if (into_block) {
            __builtin_memcpy(&word, src + i, 4);
            std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t *>(dst + i))
                .store(word, std::memory_order_release);
        } else {
            word = std::atomic_ref<uint32_t>(
                       *const_cast<uint32_t *>(reinterpret_cast<const uint32_t *>(src + i)))
                       .load(std::memory_order_acquire);
            __builtin_memcpy(dst + i, &word, 4);
        }
    }
}

// Publishes a record into the section between the two words: both words to 0 (end first),
// the record, then both to the next signature (end first).
inline void publish_section(uint32_t *begin, uint32_t *end, const void *record, size_t length) {
    uint32_t next = next_signature(signature(begin).load(std::memory_order_relaxed));
    signature(end).store(0, std::memory_order_relaxed);
    signature(begin).store(0, std::memory_order_release);
    copy_words(static_cast<void *>(begin + 1), record, length, true);
    signature(end).store(next, std::memory_order_release);
    signature(begin).store(next, std::memory_order_release);
}

// Copies the section between the two signature words into record (length bytes) until both
// words agree and are not 0: true, or false after about 3 s of torn copies. A copy that found
// the section in mid-write is tried again at once, since a write ends in moments.
inline bool read_section(const uint32_t *begin, const uint32_t *end, void *record, size_t length) {
    constexpr int ATTEMPTS = 300;
    constexpr long PAUSE_NS = 10'000'000;
    bool in_mid_write = false;
    for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
        if (attempt > 0 && !in_mid_write) {
            timespec pause{0, PAUSE_NS};
            nanosleep(&pause, nullptr);
        }
        uint32_t first = signature(const_cast<uint32_t *>(begin)).load(std::memory_order_acquire);
        copy_words(record, begin + 1, length, false);
        uint32_t last = signature(const_cast<uint32_t *>(end)).load(std::memory_order_relaxed);
        if (first != 0 && first == last) {
            return true;
        }
        in_mid_write = first == 0;
    }
    return false;
}

// A segment that the daemon's threads publish into while the shutdown may remove it: each
// access counts itself before it loads the pointer, and the removal takes the pointer away
// before it waits for the accesses under way, so that it never detaches the segment under one.
template <typename Block>
class published_segment {
  public:
    void set(Block *block) { block_.store(block); }
    Block *get() const { return block_.load(); }
    // Begins one access: the segment, or null when there is none or it is being removed.
    Block *enter() {
        active_.fetch_add(1);
        return block_.load();
    }
    void leave() { active_.fetch_sub(1); }
    // Takes the segment away and waits up to 100 ms for the accesses under way: the segment
    // when it may be detached, null when there was none or an access stopped in mid-write
    // still uses it (the mapping then goes when the process ends). *had tells whether there was
    // a segment at all.
    Block *take_away(bool *had) {
        Block *block = block_.exchange(nullptr);
        *had = block != nullptr;
        for (int i = 0; block != nullptr && i < 100 && active_.load() != 0; ++i) {
            timespec pause{0, 1'000'000};
            nanosleep(&pause, nullptr);
        }
        return active_.load() == 0 ? block : nullptr;
    }

    // One access for its scope.
    class access {
      public:
        explicit access(published_segment &segment) : segment_(segment) {
            block_ = segment_.enter();
        }
        ~access() { segment_.leave(); }
        access(const access &) = delete;
        access &operator=(const access &) = delete;
        Block *block() const { return block_; }

      private:
        published_segment &segment_;
        Block *block_;
    };

  private:
    std::atomic<Block *> block_{nullptr};
    std::atomic<int> active_{0};
};

// True when root made the segment, it is root's and no one else may write it, and (unless
// size is 0) it has that size. The owner's uid into *owner_uid (its creator's where the owner
// is root).
bool shm_segment_made_by_root(int id, size_t size, int32_t *owner_uid);
