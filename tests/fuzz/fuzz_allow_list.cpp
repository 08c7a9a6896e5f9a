// libFuzzer target: the allow-list parser, the restore input it leads to and the record check.
// Input: the allow-list's text, which is also checked as a recorded restore input (IPv4 when
// its first byte is even, IPv6 when odd).
#include <arpa/inet.h>
#include <stdio.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "allow_list.h"

namespace {

void check(bool ok) {
    if (!ok) {
        __builtin_trap();
    }
}

int lookup(const char *name, uint32_t *uid) {
    if (strcmp(name, "root") == 0 || strcmp(name, "nobody") == 0) {
        *uid = name[0] == 'r' ? 0 : 65534;
        return 0;
    }
    return 1;
}

// A valid entry is one iptables reads as written, and nothing exempts everything unasked.
void check_entry(const allow_entry &entry) {
    if (entry.kind == ALLOW_USER) {
        check(entry.uid <= 4294967294U);
        check(entry.uid != 0 || entry.deliberately);
        return;
    }
    check(entry.kind == ALLOW_IPV4 || entry.kind == ALLOW_IPV6);
    check(entry.prefix >= -1 && entry.prefix <= (entry.kind == ALLOW_IPV4 ? 32 : 128));
    check((entry.prefix == 0) == entry.deliberately);
    unsigned char addr[16];
    check(inet_pton(entry.kind == ALLOW_IPV4 ? AF_INET : AF_INET6, entry.address, addr) == 1);
    check(memcmp(addr, entry.addr, entry.kind == ALLOW_IPV4 ? 4 : 16) == 0);
    if (entry.kind == ALLOW_IPV4) {
        // Dotted decimal without leading zeros has one spelling: the canonical one.
        char canonical[INET_ADDRSTRLEN];
        check(inet_ntop(AF_INET, addr, canonical, sizeof canonical) != nullptr);
        check(strcmp(canonical, entry.address) == 0);
    }
}

// The generator's text for the list, with or without the fast path, is a record the check
// accepts.
void check_round_trip(const allow_list *list, int32_t family, uint16_t queue, bool fast_path) {
    char *text = nullptr;
    size_t length = 0;
    FILE *out = open_memstream(&text, &length);
    check(out != nullptr);
    check(write_restore_input(out, list, family, queue, fast_path) == 0);
    fclose(out);
    allow_record_error error{};
    check(check_restore_record(text, length, family, queue, &error) == 0);
    free(text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *text = reinterpret_cast<const char *>(data);
    allow_list list{};
    int status = parse_allow_list(text, size, lookup, &list);
    check(status == 0 || status == 1);
    for (int32_t i = 0; i < list.count; ++i) {
        check_entry(list.entries[i]);
        check(i == 0 || list.entries[i].line > list.entries[i - 1].line);
    }
    if (status == 1) {
        check(list.error_line >= 1 && list.error_entry != nullptr && list.error_reason != nullptr);
        check(list.count == 0 || list.entries[list.count - 1].line < list.error_line);
    }
    bool fast_path = size > 0 && (data[0] & 2) != 0;
    check_round_trip(&list, ALLOW_IPV4, 4401, fast_path);
    check_round_trip(&list, ALLOW_IPV6, 4406, fast_path);
    free_allow_list(&list);

    int32_t family = size > 0 && (data[0] & 1) != 0 ? ALLOW_IPV6 : ALLOW_IPV4;
    allow_record_error error{};
    status = check_restore_record(text, size, family, 4401, &error);
    check(status == 0 || status == 1);
    if (status == 1) {
        check(error.line >= 1 && error.reason != nullptr);
        check(error.length == 0 ||
              (error.text >= text && error.text + error.length <= text + size));
    } else {
        check(size >= 7 && memcmp(text + size - 7, "COMMIT\n", 7) == 0);
    }
    return 0;
}
