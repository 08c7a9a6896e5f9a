#include "config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "event_log.h"
#include "ulvolib_testing.h"

namespace {

// One row of a key table: name, default, range and the field it fills. A maximum of -1 is
// computed by read_config from a field stored before it.
struct config_var {
    const char *name;
    int32_t default_value;
    int32_t minimum;
    int32_t maximum;
    int32_t ulvo_config::*field;
};

config_var int_config_vars[] = {
    {"host_working_set_size", 5, 1, 100, &ulvo_config::host_working_set_size},
    {"delay_queue_delay_seconds", 1, 1, 10, &ulvo_config::dq_delay_seconds},
    {"delay_queue_size", 200, 10, 1000, &ulvo_config::dq_size},
    {"delay_queue_high_watermark", 160, 8, -1, &ulvo_config::dq_high_watermark},
    {"delay_queue_low_watermark", 100, 4, -1, &ulvo_config::dq_low_watermark},
};

// Answer credit and the fast path: off (0) unless set. Their names never contain one another,
// since a key is found as any text in a line.
struct optional_var {
    const char *name;
    int32_t minimum;
    int32_t maximum;
    int32_t ulvo_optional_config::*field;
};
constexpr optional_var optional_config_vars[] = {
    {"new_host_credit", 0, 1000, &ulvo_optional_config::new_host_credit},
    {"credit_ceiling", 0, 10000, &ulvo_optional_config::credit_ceiling},
    {"kernel_fast_path", 0, 1, &ulvo_optional_config::kernel_fast_path},
};

config_var key_config_vars[] = {
    {"shared_memory_key", DEFAULT_SHARED_MEMORY_KEY, -1, -1, &ulvo_config::shared_memory_key},
};

constexpr off_t CONFIG_MAX_BYTES = 1 << 20;      // a larger file is not a configuration file
constexpr int VALUE_BUFFER = 200;                // every lookup uses a 200-byte buffer
constexpr size_t LINE_LIMIT = VALUE_BUFFER - 1;  // only this much of a line is looked at

const char *config_path = ULVO_CONFIG_PATH;

// A line is a comment when it starts with zero or more TABs and then '#'; blanks do not count.
bool is_comment(const char *line) {
    while (*line == '\t') {
        ++line;
    }
    return *line == '#';
}

// Copies src into dest (length bytes), cut to length - 1 characters and NUL-terminated.
void copy_cut(char *dest, int length, const char *src) {
    if (length <= 0) {
        return;
    }
    size_t n = strnlen(src, static_cast<size_t>(length - 1));
    memcpy(dest, src, n);
    dest[n] = '\0';
}

// Opens the configuration file for reading when it is a regular file of at most
// CONFIG_MAX_BYTES; null otherwise (errno ENOENT when there is none). It is opened without
// waiting, so that a FIFO put in its place cannot block a reader.
FILE *open_config_file() {
    int fd = open(config_path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd == -1) {
        return nullptr;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > CONFIG_MAX_BYTES) {
        close(fd);
        errno = EINVAL;
        return nullptr;
    }
    FILE *file = fdopen(fd, "r");
    if (file == nullptr) {
        close(fd);
    }
    return file;
}

// Calls visit(line, length, number) for each line of the file, no more than CONFIG_MAX_BYTES of
// them should the file grow meanwhile, until visit returns true. Nothing without a usable file.
template <typename Visit>
void each_line(Visit visit) {
    FILE *file = open_config_file();
    if (file == nullptr) {
        return;
    }
    char *line = nullptr;
    size_t capacity = 0;
    ssize_t got;
    int number = 0;
    off_t read_so_far = 0;
    while ((got = getline(&line, &capacity, file)) != -1 &&
           (read_so_far += got) <= CONFIG_MAX_BYTES) {
        if (visit(static_cast<const char *>(line), static_cast<size_t>(got), ++number)) {
            break;
        }
    }
    free(line);
    fclose(file);
}

// The first line of the file that is not a comment and holds the key anywhere in it, cut to
// the first LINE_LIMIT characters (its newline kept when it falls inside them). No more than
// CONFIG_MAX_BYTES are read, should the file grow meanwhile.
bool first_matching_line(const char *key, char (&out)[VALUE_BUFFER]) {
    bool found = false;
    each_line([&](const char *line, size_t got, int) {
        // A NUL inside a line ends what the string functions see of it; grep would also
        // stop comparing there for our purposes, and such files are not configuration files.
        if (strstr(line, key) == nullptr || is_comment(line)) {
            return false;
        }
        size_t keep = got < LINE_LIMIT ? got : LINE_LIMIT;
        memcpy(out, line, keep);
        out[keep] = '\0';
        found = true;
        return true;
    });
    return found;
}

// The integer conversion of atoi, except that a number outside the range of int saturates
// to INT_MAX or INT_MIN instead of wrapping into a value that might pass the range test.
int32_t to_int(const char *text) {
    long long value = strtoll(text, nullptr, 10);
    if (value > INT_MAX) {
        return INT_MAX;
    }
    if (value < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int32_t>(value);
}

// The hexadecimal key in the platform's long, of which the key keeps the low 32 bits; false
// when the long overflows.
bool to_key(const char *text, int32_t *key) {
    errno = 0;
    long value = strtol(text, nullptr, 16);
    if (errno == ERANGE) {
        return false;
    }
    *key = static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned long>(value)));
    return true;
}

void report_not_set_int(const config_var &row) {
    lib_report(TAG_WARNING, true,
               "   %s is not set in %s,\n"
               "   or kel-ulvod was started from the command line.\n"
               "   Using default value of %d.\n",
               row.name, config_path, row.default_value);
}

void report_out_of_range(const config_var &row, int32_t value) {
    lib_report(TAG_ERROR, true,
               "   %s is set to %d in %s,\n   valid range is %d to %d inclusive.\n", row.name,
               value, config_path, row.minimum, row.maximum);
}

void report_key_error(const config_var &row, const char *text, const char *reason) {
    lib_report(TAG_ERROR, true, "   %s is set to %s in %s,\n%s", row.name, text, config_path,
               reason);
}

// A configuration file that is there but is not a regular file of a sane size is refused
// whole: 0 when the file is usable or absent, 1 after a report.
int check_config_file() {
    struct stat st {};
    if (stat(config_path, &st) != 0) {
        return 0;  // no file: every key not set in the environment takes its default
    }
    if (!S_ISREG(st.st_mode)) {
        lib_report(TAG_ERROR, true,
                   "   %s is not a regular file,\n   the configuration is refused.\n", config_path);
        return 1;
    }
    if (st.st_size > CONFIG_MAX_BYTES) {
        lib_report(TAG_ERROR, true,
                   "   %s is larger than %ld bytes,\n   the configuration is refused.\n",
                   config_path, static_cast<long>(CONFIG_MAX_BYTES));
        return 1;
    }
    return 0;
}

}  // namespace

int getvar(const char *key, int length, char *dest) {
    const char *env = getenv(key);
    if (env != nullptr) {
        copy_cut(dest, length, env);
        return 0;
    }
    char line[VALUE_BUFFER];
    if (!first_matching_line(key, line)) {
        return 1;
    }
    const char *equals = strchr(line, '=');
    if (equals == nullptr || equals[1] == '\0' || equals[1] == '\n') {
        return 1;
    }
    copy_cut(dest, length, equals + 1);
    size_t n = strlen(dest);
    if (n > 0 && dest[n - 1] == '\n') {
        dest[n - 1] = '\0';
    }
    return 0;
}

int read_config(ulvo_config *config) {
    if (check_config_file() != 0) {
        return 1;
    }
    char text[VALUE_BUFFER];
    for (config_var &row : int_config_vars) {
        int32_t value;
        if (getvar(row.name, VALUE_BUFFER, text) != 0) {
            report_not_set_int(row);
            value = row.default_value;
        } else {
            value = to_int(text);
        }
        config->*row.field = value;
        if (row.field == &ulvo_config::dq_high_watermark) {
            row.maximum = config->dq_size;
        } else if (row.field == &ulvo_config::dq_low_watermark) {
            row.maximum = config->dq_high_watermark - 4;
        }
        if (value < row.minimum || value > row.maximum) {
            report_out_of_range(row, value);
            return 1;
        }
    }

    config_var &row = key_config_vars[0];
    if (getvar(row.name, VALUE_BUFFER, text) != 0) {
        lib_report(TAG_WARNING, true, "   %s is not set in %s,\n   using default value of %#x.\n",
                   row.name, config_path, row.default_value);
        config->*row.field = row.default_value;
        return 0;
    }
    if (strncmp(text, "0x", 2) != 0) {
        report_key_error(row, text, "   valid values start with \"0x\"\n");
        return 1;
    }
    // A key of 0 is IPC_PRIVATE: every use would make a new private segment.
    int32_t key;
    if (!to_key(text, &key) || key == 0) {
        report_key_error(row, text, "   the value is out of range or not properly formated.\n");
        return 1;
    }
    config->*row.field = key;
    return 0;
}

int read_optional_config(ulvo_optional_config *optional) {
    *optional = ulvo_optional_config{};
    if (check_config_file() != 0) {
        return 1;
    }
    char text[VALUE_BUFFER];
    for (const optional_var &row : optional_config_vars) {
        if (getvar(row.name, VALUE_BUFFER, text) != 0) {
            continue;
        }
        int32_t value = to_int(text);
        if (value < row.minimum || value > row.maximum) {
            lib_report(TAG_ERROR, true,
                       "   %s is set to %d in %s,\n   valid range is %d to %d inclusive.\n",
                       row.name, value, config_path, row.minimum, row.maximum);
            return 1;
        }
        optional->*row.field = value;
    }
    if (optional->credit_ceiling != 0 && optional->credit_ceiling < optional->new_host_credit) {
        lib_report(TAG_ERROR, true,
                   "   credit_ceiling is set to %d in %s,\n"
                   "   it must be 0 (new_host_credit itself) or at least new_host_credit (%d).\n",
                   optional->credit_ceiling, config_path, optional->new_host_credit);
        return 1;
    }
    return 0;
}

namespace {

// Blanks and tabs at either end of a piece of a line are not part of it.
std::string_view trimmed(std::string_view text) {
    size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string_view::npos) {
        return {};
    }
    return text.substr(begin, text.find_last_not_of(" \t\r\n") - begin + 1);
}

// The key the line sets, as the readers find it (anywhere in the line), or null.
const char *key_of_line(std::string_view line) {
    for (const config_var &row : int_config_vars) {
        if (line.find(row.name) != std::string_view::npos) {
            return row.name;
        }
    }
    for (const optional_var &row : optional_config_vars) {
        if (line.find(row.name) != std::string_view::npos) {
            return row.name;
        }
    }
    return line.find(key_config_vars[0].name) != std::string_view::npos ? key_config_vars[0].name
                                                                        : nullptr;
}

// True when the value is what the key's reader takes whole: a decimal number, or for the
// shared memory key a hexadecimal one starting with "0x".
bool plain_value(const char *key, std::string_view value) {
    bool hex = strcmp(key, key_config_vars[0].name) == 0;
    if (hex) {
        if (value.substr(0, 2) != "0x" || value.size() == 2) {
            return false;
        }
        value.remove_prefix(2);
    } else if (!value.empty() && value[0] == '-') {
        value.remove_prefix(1);
    }
    return !value.empty() && value.find_first_not_of(hex ? "0123456789abcdefABCDEF"
                                                         : "0123456789") == std::string_view::npos;
}

}  // namespace

int lint_config() {
    int warnings = 0;
    each_line([&](const char *line, size_t got, int number) {
        std::string_view text = trimmed(std::string_view(line, strnlen(line, got)));
        if (text.empty() || is_comment(line)) {
            return false;
        }
        const char *key = key_of_line(text);
        size_t equals = text.find('=');
        int shown = static_cast<int>(std::min<size_t>(text.size(), 120));
        if (key == nullptr) {
            lib_report(TAG_WARNING, true,
                       "   %s, line %d: \"%.*s\" sets nothing that kel-ulvod knows; it is "
                       "ignored.\n",
                       config_path, number, shown, text.data());
            ++warnings;
        } else if (equals == std::string_view::npos || trimmed(text.substr(0, equals)) != key ||
                   !plain_value(key, trimmed(text.substr(equals + 1)))) {
            lib_report(TAG_WARNING, true,
                       "   %s, line %d: \"%.*s\" is not %s=NUMBER; what is read of it may not "
                       "be what is meant.\n",
                       config_path, number, shown, text.data(), key);
            ++warnings;
        }
        return false;
    });
    return warnings;
}

int peek_shared_memory_key(int32_t *key) {
    char text[VALUE_BUFFER];
    if (getvar(key_config_vars[0].name, VALUE_BUFFER, text) != 0) {
        *key = key_config_vars[0].default_value;
        return 0;
    }
    return strncmp(text, "0x", 2) == 0 && to_key(text, key) && *key != 0 ? 0 : 1;
}

void set_config_path_for_test(const char *path) {
    config_path = path;
}
