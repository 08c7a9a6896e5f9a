#include "input.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr uint32_t SECTION_HEADER = 0x0a0d0d0a;
constexpr uint32_t INTERFACE_DESCRIPTION = 1;

uint32_t get32(const unsigned char *p, bool big_endian) {
    uint32_t b0 = p[0], b1 = p[1], b2 = p[2], b3 = p[3];
    return big_endian ? b0 << 24 | b1 << 16 | b2 << 8 | b3 : b3 << 24 | b2 << 16 | b1 << 8 | b0;
}

// Reads the type and length of the block whose first 12 bytes are in head; false when they
// are not those of a pcapng block (or the file does not start with a section header).
bool read_block_head(pcapng_blocks *blocks) {
    const unsigned char *head = blocks->head;
    if (get32(head, false) == SECTION_HEADER) {
        static const unsigned char big[4] = {0x1a, 0x2b, 0x3c, 0x4d};
        static const unsigned char little[4] = {0x4d, 0x3c, 0x2b, 0x1a};
        blocks->big_endian = memcmp(head + 8, big, 4) == 0;
        if (!blocks->big_endian && memcmp(head + 8, little, 4) != 0) {
            return false;
        }
    } else if (blocks->start == 0) {
        return false;
    }
    blocks->type = get32(head, blocks->big_endian);
    blocks->length = get32(head + 4, blocks->big_endian);
    if (blocks->type == INTERFACE_DESCRIPTION) {
        int link_type = blocks->big_endian ? head[8] << 8 | head[9] : head[9] << 8 | head[8];
        blocks->mixed_link_types |= blocks->link_type >= 0 && link_type != blocks->link_type;
        if (blocks->link_type < 0) {
            blocks->link_type = link_type;
        }
    }
    return blocks->length >= 12 && blocks->length % 4 == 0;
}

ssize_t input_read(void *cookie, char *buffer, size_t size) {
    auto *input = static_cast<capture_input *>(cookie);
    ssize_t n;
    if (input->gz != nullptr) {
        auto chunk = static_cast<unsigned>(std::min<size_t>(size, 1u << 30));
        n = gzread(input->gz, buffer, chunk);
        int code = Z_OK;
        const char *message = gzerror(input->gz, &code);
        if (n < 0) {
            // zlib names the stream "<fd:N>" before its message; the caller names the file.
            const char *detail = strstr(message, ": ");
            snprintf(input->error, sizeof input->error, "gzip data: %s",
                     detail ? detail + 2 : message);
            return -1;
        }
        // zlib reports data that ends early as the end of the data, with this code.
        if (n == 0 && code == Z_BUF_ERROR) {
            input->cut = true;
        }
    } else {
        n = static_cast<ssize_t>(fread(buffer, 1, size, input->plain));
        if (n == 0 && ferror(input->plain)) {
            snprintf(input->error, sizeof input->error, "%s", strerror(errno));
            return -1;
        }
    }
    auto *bytes = reinterpret_cast<unsigned char *>(buffer);
    unify_snapshot_lengths(&input->blocks, input->delivered, bytes, static_cast<size_t>(n));
    input->delivered += static_cast<size_t>(n);
    return n;
}

// Tells the position only: libpcap never seeks in a capture it reads.
int input_seek(void *cookie, off64_t *offset, int whence) {
    if (whence != SEEK_CUR || *offset != 0) {
        errno = ESPIPE;
        return -1;
    }
    *offset = static_cast<off64_t>(static_cast<capture_input *>(cookie)->delivered);
    return 0;
}

int input_close(void *cookie) {
    auto *input = static_cast<capture_input *>(cookie);
    int closed =
        input->gz != nullptr ? (gzclose(input->gz) == Z_OK ? 0 : -1) : fclose(input->plain);
    delete input;
    return closed;
}

FILE *open_input(capture_input *input, const capture_input **described) {
    cookie_io_functions_t io{input_read, nullptr, input_seek, input_close};
    FILE *stream = fopencookie(input, "r", io);
    if (stream == nullptr) {
        int saved = errno;
        input_close(input);
        errno = saved;
        return nullptr;
    }
    *described = input;
    return stream;
}

}  // namespace

FILE *open_input_fd(int fd, const capture_input **input) {
    int copy = dup(fd);
    if (copy < 0) {
        return nullptr;
    }
    gzFile gz = gzdopen(copy, "rb");
    if (gz == nullptr) {
        close(copy);
        errno = ENOMEM;
        return nullptr;
    }
    gzbuffer(gz, 1 << 16);
    auto *opened = new capture_input;
    opened->gz = gz;
    return open_input(opened, input);
}

FILE *open_input_stream(FILE *in, const capture_input **input) {
    auto *opened = new capture_input;
    opened->plain = in;
    return open_input(opened, input);
}

const char *input_offset_note(const capture_input *input) {
    return input->gz != nullptr && gzdirect(input->gz) == 0 ? " (after decompression)" : "";
}

void unify_snapshot_lengths(pcapng_blocks *blocks, uint64_t offset, unsigned char *data,
                            size_t size) {
    size_t i = 0;
    while (blocks->active && i < size) {
        uint64_t at = offset + i - blocks->start;  // where data[i] is in the current block
        if (at >= 12 && at >= blocks->length) {
            blocks->start += blocks->length;
        } else if (at < 12) {
            blocks->head[at] = data[i++];
            if (at == 11) {
                blocks->active = read_block_head(blocks);
            }
        } else if (blocks->type == INTERFACE_DESCRIPTION && at < 16) {
            data[i++] = 0;  // bytes 12 to 15: the snapshot length
        } else {
            i += static_cast<size_t>(std::min<uint64_t>(size - i, blocks->length - at));
        }
    }
}
