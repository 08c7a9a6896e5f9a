// The signature protocol of the status block, shared by its writers and readers.
#pragma once

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
