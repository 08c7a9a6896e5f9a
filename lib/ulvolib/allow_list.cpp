#include "allow_list.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

// The reasons an entry is refused, as operators have always read them.
constexpr char NOT_AN_ENTRY[] = "not an address, a network or a user entry";
constexpr char NOT_AN_ADDRESS[] = "not an IPv4 or IPv6 address";
constexpr char PREFIX_IPV4[] = "the prefix length must be 0 to 32";
constexpr char PREFIX_IPV6[] = "the prefix length must be 0 to 128";
constexpr char PREFIX_ZEROS[] =
    "a prefix length with a leading zero is ambiguous (iptables reads it as octal); write it "
    "without";
constexpr char USER_TAKES_ONE[] = "\"user\" takes one user name or uid";
constexpr char UID_RANGE[] = "the uid must be 0 to 4294967294";
constexpr char NO_SUCH_USER[] = "no such user";
// Entries that would switch the throttle off for a whole family or for root's programs.
constexpr char EVERY_IPV4[] =
    "a prefix length of 0 exempts every IPv4 destination; write \"deliberately\" after the "
    "entry if that is meant";
constexpr char EVERY_IPV6[] =
    "a prefix length of 0 exempts every IPv6 destination; write \"deliberately\" after the "
    "entry if that is meant";
constexpr char EVERY_ROOT[] =
    "uid 0 exempts every program that runs as root; write \"deliberately\" after the entry if "
    "that is meant";
constexpr char NOT_DELIBERATE[] =
    "\"deliberately\" is only for an entry that exempts everything (a prefix length of 0, or "
    "uid 0)";

constexpr char RECORD_FOREIGN[] = "not a line of kel-ulvo's rules";
constexpr char RECORD_SHORT[] = "the rules end before their COMMIT line";

constexpr uint32_t UID_MAX_ENTRY = 4294967294U;  // (uid_t)-1 is no user

bool blank(char c) {
    return c == ' ' || c == '\t';  // the shell's field separators within a line
}
bool digit(char c) {
    return c >= '0' && c <= '9';
}
bool all_digits(std::string_view s) {
    if (s.empty()) {
        return false;
    }
    for (char c : s) {
        if (!digit(c)) {
            return false;
        }
    }
    return true;
}

// The next word of the line, skipping blanks before it.
std::string_view next_word(std::string_view *rest) {
    size_t start = 0;
    while (start < rest->size() && blank((*rest)[start])) {
        ++start;
    }
    size_t end = start;
    while (end < rest->size() && !blank((*rest)[end])) {
        ++end;
    }
    std::string_view word = rest->substr(start, end - start);
    rest->remove_prefix(end);
    return word;
}
// The rest of the line as one field: without its blanks at either end, blanks within kept.
std::string_view trimmed(std::string_view s) {
    while (!s.empty() && blank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && blank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

// True when a dotted-decimal octet starts with a 0 and goes on: iptables reads such an octet as
// octal (010 is 8), so the address would not be the one written.
bool octal_octet(std::string_view dotted) {
    for (size_t i = 0; i + 1 < dotted.size(); ++i) {
        if (dotted[i] == '0' && (i == 0 || dotted[i - 1] == '.') && digit(dotted[i + 1])) {
            return true;
        }
    }
    return false;
}

// An address of the family in any text form that inet_pton takes, less the forms iptables would
// read differently. Fills the entry's address and addr.
bool parse_address(std::string_view text, int32_t family, allow_entry *entry) {
    if (text.empty() || text.size() >= sizeof entry->address) {
        return false;
    }
    memcpy(entry->address, text.data(), text.size());
    entry->address[text.size()] = '\0';
    if (family == ALLOW_IPV4) {
        return !octal_octet(text) && inet_pton(AF_INET, entry->address, entry->addr) == 1;
    }
    // An IPv4 address in place of the last two groups follows the IPv4 rule; a group has at most
    // four hexadecimal digits (some C libraries take more while the value fits 16 bits).
    std::string_view tail = text.substr(text.rfind(':') + 1);
    if (tail.find('.') != std::string_view::npos && octal_octet(tail)) {
        return false;
    }
    size_t group = 0;
    for (char c : text) {
        group = c == ':' || c == '.' ? 0 : group + 1;
        if (group > 4) {
            return false;
        }
    }
    return inet_pton(AF_INET6, entry->address, entry->addr) == 1;
}

// ADDRESS or ADDRESS/PREFIX of the family: nullptr, or the reason it is refused.
const char *parse_network(std::string_view text, int32_t family, allow_entry *entry) {
    size_t slash = text.find('/');
    if (!parse_address(text.substr(0, slash), family, entry)) {
        return NOT_AN_ADDRESS;
    }
    entry->kind = family;
    entry->prefix = -1;
    if (slash == std::string_view::npos) {
        return nullptr;
    }
    std::string_view prefix = text.substr(slash + 1);
    int max = family == ALLOW_IPV4 ? 32 : 128;
    if (prefix.size() > 3 || !all_digits(prefix)) {
        return family == ALLOW_IPV4 ? PREFIX_IPV4 : PREFIX_IPV6;
    }
    // iptables would take "/010" as octal (a /8), and refuse "/08": neither is what was meant.
    if (prefix.size() > 1 && prefix[0] == '0') {
        return PREFIX_ZEROS;
    }
    int value = 0;
    for (char c : prefix) {
        value = value * 10 + (c - '0');
    }
    if (value > max) {
        return family == ALLOW_IPV4 ? PREFIX_IPV4 : PREFIX_IPV6;
    }
    entry->prefix = value;
    return nullptr;
}

// A uid written in decimal: nullptr, or the reason it is refused.
const char *parse_uid(std::string_view text, uint32_t *uid) {
    if (text.size() > 10) {
        return UID_RANGE;
    }
    uint64_t value = 0;
    for (char c : text) {
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value > UID_MAX_ENTRY) {
        return UID_RANGE;
    }
    *uid = static_cast<uint32_t>(value);
    return nullptr;
}

// A name that may be looked up: the characters of the system's user names, a trailing "$" for
// machine accounts.
bool user_name_shape(std::string_view name) {
    if (!name.empty() && name.back() == '$') {
        name.remove_suffix(1);
    }
    if (name.empty() || name.front() == '-') {
        return false;
    }
    for (char c : name) {
        bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || digit(c) || c == '_' ||
                  c == '.' || c == '-';
        if (!ok) {
            return false;
        }
    }
    return true;
}

const char *parse_user(std::string_view name, allow_user_lookup lookup, allow_entry *entry) {
    entry->kind = ALLOW_USER;
    if (all_digits(name)) {
        return parse_uid(name, &entry->uid);
    }
    char buffer[256];
    if (!user_name_shape(name) || name.size() >= sizeof buffer || lookup == nullptr) {
        return NO_SUCH_USER;
    }
    memcpy(buffer, name.data(), name.size());
    buffer[name.size()] = '\0';
    return lookup(buffer, &entry->uid) == 0 ? nullptr : NO_SUCH_USER;
}

// One line's entry: nullptr when valid (or when there is none: *empty), else the reason.
const char *parse_line(std::string_view line, allow_user_lookup lookup, allow_entry *entry,
                       bool *empty, std::string_view words[3]) {
    line = line.substr(0, line.find('#'));
    std::string_view kind = next_word(&line);
    std::string_view name = next_word(&line);
    std::string_view extra = trimmed(line);
    words[0] = kind;
    words[1] = name;
    words[2] = extra;
    *empty = kind.empty();
    if (*empty) {
        return nullptr;
    }
    const char *reason = nullptr;
    if (kind == "user") {
        entry->deliberately = extra == ALLOW_DELIBERATELY;
        if (name.empty() || (!extra.empty() && !entry->deliberately)) {
            return USER_TAKES_ONE;
        }
        reason = parse_user(name, lookup, entry);
        if (reason == nullptr && entry->uid == 0 && !entry->deliberately) {
            return EVERY_ROOT;
        }
        if (reason == nullptr && entry->uid != 0 && entry->deliberately) {
            return NOT_DELIBERATE;
        }
        return reason;
    }
    entry->deliberately = name == ALLOW_DELIBERATELY && extra.empty();
    if (!name.empty() && !entry->deliberately) {
        return NOT_AN_ENTRY;
    }
    if (kind.find(':') != std::string_view::npos) {
        reason = parse_network(kind, ALLOW_IPV6, entry);
    } else if (kind.find_first_not_of("0123456789./") == std::string_view::npos) {
        reason = parse_network(kind, ALLOW_IPV4, entry);
    } else {
        return NOT_AN_ENTRY;
    }
    if (reason == nullptr && entry->prefix == 0 && !entry->deliberately) {
        return entry->kind == ALLOW_IPV4 ? EVERY_IPV4 : EVERY_IPV6;
    }
    if (reason == nullptr && entry->prefix != 0 && entry->deliberately) {
        return NOT_DELIBERATE;
    }
    return reason;
}

int append(allow_list *list, const allow_entry &entry) {
    if (list->count == list->capacity) {
        int32_t capacity = list->capacity == 0 ? 16 : list->capacity * 2;
        void *grown = realloc(list->entries, static_cast<size_t>(capacity) * sizeof entry);
        if (grown == nullptr) {
            return -1;
        }
        list->entries = static_cast<allow_entry *>(grown);
        list->capacity = capacity;
    }
    list->entries[list->count++] = entry;
    return 0;
}

// The entry's words as the message shows them; a NUL byte, which no entry may hold, as "?".
char *entry_text(const std::string_view words[3]) {
    size_t length = words[0].size() + words[1].size() + words[2].size() + 3;
    char *text = static_cast<char *>(malloc(length));
    if (text == nullptr) {
        return nullptr;
    }
    size_t at = 0;
    for (int i = 0; i < 3; ++i) {
        if (words[i].empty()) {
            continue;
        }
        if (at > 0) {
            text[at++] = ' ';
        }
        for (char c : words[i]) {
            text[at++] = c != '\0' ? c : '?';
        }
    }
    text[at] = '\0';
    return text;
}

}  // namespace

int parse_allow_list(const char *text, size_t length, allow_user_lookup lookup, allow_list *list) {
    free_allow_list(list);
    std::string_view rest(text, length);
    for (int32_t number = 1; !rest.empty(); ++number) {
        size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);

        allow_entry entry{};
        entry.line = number;
        bool empty = false;
        std::string_view words[3];
        const char *reason = parse_line(line, lookup, &entry, &empty, words);
        if (reason != nullptr) {
            list->error_line = number;
            list->error_reason = reason;
            list->error_entry = entry_text(words);
            return list->error_entry != nullptr ? 1 : -1;
        }
        if (!empty && append(list, entry) != 0) {
            return -1;
        }
    }
    return 0;
}

void free_allow_list(allow_list *list) {
    free(list->entries);
    free(list->error_entry);
    *list = allow_list{};
}

void print_allow_error(FILE *out, const char *file, const allow_list *list) {
    fprintf(out, "%s, line %d: %s: %s\n", file, list->error_line,
            list->error_entry != nullptr ? list->error_entry : "",
            list->error_reason != nullptr ? list->error_reason : "");
}

int write_restore_input(FILE *out, const allow_list *list, int32_t family, uint16_t queue,
                        bool fast_path) {
    fprintf(out, "*filter\n:%s - [0:0]\n:%s - [0:0]\n:%s - [0:0]\n", ALLOW_CHAIN_MAIN,
            ALLOW_CHAIN_ALLOW, ALLOW_CHAIN_QUEUE);
    fprintf(out, "-A %s -g %s\n", ALLOW_CHAIN_MAIN, ALLOW_CHAIN_ALLOW);
    for (int32_t i = 0; i < list->count; ++i) {
        const allow_entry &entry = list->entries[i];
        if (entry.kind == ALLOW_USER) {
            fprintf(out, "-A %s -m owner --uid-owner %u -j RETURN\n", ALLOW_CHAIN_ALLOW, entry.uid);
        } else if (entry.kind == family && entry.prefix < 0) {
            fprintf(out, "-A %s -d %s -j RETURN\n", ALLOW_CHAIN_ALLOW, entry.address);
        } else if (entry.kind == family) {
            fprintf(out, "-A %s -d %s/%d -j RETURN\n", ALLOW_CHAIN_ALLOW, entry.address,
                    entry.prefix);
        }
    }
    fprintf(out, "-A %s -g %s\n", ALLOW_CHAIN_ALLOW, ALLOW_CHAIN_QUEUE);
    // Every connection-oriented or datagram protocol a program can open without privileges:
    // TCP by its SYN, UDP, UDP-Lite and SCTP by their first packet in connection tracking.
    const char *set = family == ALLOW_IPV6 ? FAST_PATH_IPV6 : FAST_PATH_IPV4;
    for (const char *protocol : {"tcp --syn", "udp", "udplite", "sctp"}) {
        if (fast_path) {
            fprintf(out,
                    "-A %s -p %s -m conntrack --ctstate NEW -m set --match-set %s dst "
                    "-m nfacct --nfacct-name %s -j RETURN\n",
                    ALLOW_CHAIN_QUEUE, protocol, set, set);
        }
        fprintf(out,
                "-A %s -p %s -m conntrack --ctstate NEW -j NFQUEUE --queue-num %u "
                "--queue-bypass\n",
                ALLOW_CHAIN_QUEUE, protocol, static_cast<unsigned>(queue));
    }
    fputs("COMMIT\n", out);
    return fflush(out) == 0 && !ferror(out) ? 0 : 1;
}

int check_restore_record(const char *text, size_t length, int32_t family, uint16_t queue,
                         allow_record_error *error) {
    // The record's allow-list matches make a list; the generator's text for that list must be
    // the record, byte for byte.
    std::string_view record(text, length);
    allow_list list{};
    std::string_view rest = record;
    int32_t number = 0;
    auto refuse = [&](std::string_view line, const char *reason) {
        free_allow_list(&list);
        *error = allow_record_error{number, line.data(), line.size(), reason};
        return 1;
    };
    const std::string_view rule_start = "-A KEL_ULVO_ALLOW ";
    const std::string_view rule_end = " -j RETURN";
    const std::string_view destination = "-d ";
    const std::string_view owner = "-m owner --uid-owner ";
    while (!rest.empty()) {
        size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        ++number;
        if (!line.starts_with(rule_start) || !line.ends_with(rule_end) ||
            line.size() < rule_start.size() + rule_end.size()) {
            continue;  // a fixed line: compared below
        }
        std::string_view match =
            line.substr(rule_start.size(), line.size() - rule_start.size() - rule_end.size());
        allow_entry entry{};
        entry.line = number;
        bool ok = false;
        if (match.starts_with(destination)) {
            ok = parse_network(match.substr(destination.size()), family, &entry) == nullptr;
        } else if (match.starts_with(owner) && all_digits(match.substr(owner.size()))) {
            entry.kind = ALLOW_USER;
            ok = parse_uid(match.substr(owner.size()), &entry.uid) == nullptr;
        }
        if (!ok) {
            return refuse(line, RECORD_FOREIGN);
        }
        if (append(&list, entry) != 0) {
            free_allow_list(&list);
            return -1;
        }
    }

    char *expected = nullptr;
    size_t expected_length = 0;
    FILE *out = open_memstream(&expected, &expected_length);
    if (out == nullptr) {
        free_allow_list(&list);
        return -1;
    }
    // Generated with the fast path when the record has its rules: they are then compared too.
    bool fast_path = record.find(" -m set --match-set ") != std::string_view::npos;
    int written = write_restore_input(out, &list, family, queue, fast_path);
    fclose(out);
    if (written != 0) {
        free(expected);
        free_allow_list(&list);
        return -1;
    }
    // The first line that differs, or the missing end.
    std::string_view want(expected, expected_length);
    rest = record;
    number = 0;
    int status = 0;
    while (status == 0 && (!rest.empty() || !want.empty())) {
        ++number;
        size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        size_t want_end = want.find('\n');
        if (rest.empty()) {
            status = refuse(std::string_view(), RECORD_SHORT);
        } else if (end == std::string_view::npos || want.empty() ||
                   line != want.substr(0, want_end)) {
            status = refuse(line, RECORD_FOREIGN);
        }
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        want.remove_prefix(want_end == std::string_view::npos ? want.size() : want_end + 1);
    }
    free(expected);
    free_allow_list(&list);
    return status;
}

void print_record_error(FILE *out, const char *file, const allow_record_error *error) {
    if (error->length == 0) {
        fprintf(out, "%s, line %d: %s\n", file, error->line, error->reason);
    } else {
        fprintf(out, "%s, line %d: %.*s: %s\n", file, error->line, static_cast<int>(error->length),
                error->text, error->reason);
    }
}

int read_root_file(const char *path, bool missing_ok, char **text, size_t *length, char *why,
                   size_t why_size) {
    *text = nullptr;
    *length = 0;
    // Not following a link, and not waiting on a FIFO: either is refused once opened.
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 && errno == ENOENT && missing_ok) {
        *text = static_cast<char *>(calloc(1, 1));
        return *text != nullptr ? 0 : -1;
    }
    if (fd < 0) {
        if (errno == ENOENT) {
            snprintf(why, why_size, "%s: no such file", path);
        } else if (errno == ELOOP && lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) {
            snprintf(why, why_size,
                     "%s: a symbolic link, which is not followed: it must be a regular file", path);
        } else {
            snprintf(why, why_size, "%s: not a readable regular file", path);
        }
        return 1;
    }
    bool refused = true;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        snprintf(why, why_size, "%s: not a readable regular file", path);
    } else if (st.st_uid != 0) {
        // Whoever can write it decides what the rules let through.
        snprintf(why, why_size, "%s: owned by uid %u: it must be root's", path,
                 static_cast<unsigned>(st.st_uid));
    } else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        snprintf(why, why_size, "%s: writable by others than root (mode %04o)", path,
                 static_cast<unsigned>(st.st_mode & 07777));
    } else {
        refused = false;
    }
    if (refused) {
        close(fd);
        return 1;
    }
    size_t size = 0;
    size_t capacity = static_cast<size_t>(st.st_size) + 1;
    char *buffer = static_cast<char *>(malloc(capacity));
    int status = buffer != nullptr ? 0 : -1;
    while (status == 0) {
        if (size + 1 == capacity) {
            char *grown = static_cast<char *>(realloc(buffer, capacity * 2));
            if (grown == nullptr) {
                status = -1;
                break;
            }
            buffer = grown;
            capacity *= 2;
        }
        ssize_t n = read(fd, buffer + size, capacity - 1 - size);
        if (n < 0 && errno != EINTR) {
            snprintf(why, why_size, "%s: could not be read: %s", path, strerror(errno));
            status = 1;
        } else if (n == 0) {
            break;
        } else if (n > 0) {
            size += static_cast<size_t>(n);
        }
    }
    close(fd);
    if (status != 0) {
        free(buffer);
        return status;
    }
    buffer[size] = '\0';
    *text = buffer;
    *length = size;
    return 0;
}
