// SPDX-License-Identifier: BSD-2-Clause
#include "config/ini.h"

#include <assert.h>
#include <ctype.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string_view>

#include "config/file.h"
#include "config/replace.h"
#include "config/tagmem.h"

extern char **environ;

int16_t trace_state = 0;
FILE *trace_file = nullptr;

namespace {

// The working buffers of the reader and the writer. The section buffer keeps the current
// section between calls of ini_read_entry; the loader composes "section:key" in it.
char ini_line_buffer[FILE_LINE_MAX + 1];
char ini_section_buffer[FILE_LINE_MAX + 1];
char ini_key_buffer[FILE_LINE_MAX + 1];
char ini_value_buffer[FILE_LINE_MAX + 1];

bool is_white(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

void trim_end(char *text) {
  size_t length = strlen(text);
  while (length > 0 && is_white(text[length - 1])) text[--length] = '\0';
}

// Tabs have already become spaces, so only the space counts as leading white space.
char *skip_spaces(char *text) {
  while (*text == ' ') ++text;
  return text;
}

void copy_bounded(char *buffer, std::string_view text) {
  size_t length = text.size() < size_t(FILE_LINE_MAX) ? text.size() : size_t(FILE_LINE_MAX);
  if (length > 0) memcpy(buffer, text.data(), length);
  buffer[length] = '\0';
}

// The header form "[%[^]]": a "[" and at least one character other than "]"; the name runs to
// the first "]" or, without one, to the end of the line.
bool header_name(const char *line, std::string_view *name) {
  if (line[0] != '[' || line[1] == '\0' || line[1] == ']') return false;
  const char *end = strchr(line + 1, ']');
  *name = end ? std::string_view(line + 1, end - line - 1) : std::string_view(line + 1);
  return true;
}

bool equal_lower(std::string_view a, const char *b) {
  if (a.size() != strlen(b)) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (tolower(static_cast<unsigned char>(a[i])) != tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

// A quoted value whose line ends in "-" goes on in the next physical line, read into the place
// of the "-". The joined line keeps one character of the buffer free, so it holds at most
// FILE_LINE_MAX - 1 characters.
void join_continuations(FILE *stream, char *value) {
  size_t length = strlen(value);
  while (length > 0 && value[length - 1] == '-') {
    int at = int(value - ini_line_buffer) + int(length) - 1;
    int room = FILE_LINE_MAX - 1 - at;
    if (room <= 0) break;
    if (!file_read_line_limited(stream, ini_line_buffer + at, room)) {
      ini_line_buffer[at] = '\0';
      break;
    }
    trim_end(value);
    length = strlen(value);
  }
}

// Cuts a quoted value after its closing quote, stepping over escaped characters. Without a
// closing quote the value runs to the end of the line.
void cut_after_closing_quote(char *value) {
  for (char *p = value + 1; *p != '\0'; ++p) {
    if (*p == '\\') {
      if (p[1] == '\0') return;
      ++p;
    } else if (*p == '"') {
      p[1] = '\0';
      return;
    }
  }
}

// Resolves backslash escapes in place: "\n" is a newline, a backslash before any other
// character stands for that character, and a backslash at the very end escapes nothing.
void resolve_escapes(char *text) {
  char *out = text;
  for (const char *in = text; *in != '\0'; ++in) {
    if (*in == '\\') {
      ++in;
      if (*in == '\0') break;
      *out++ = *in == 'n' ? '\n' : *in;
    } else {
      *out++ = *in;
    }
  }
  *out = '\0';
}

// Stores one key/value line of the current section (its name in the section buffer).
void put_entry(symbol_table *table, symbol_table *env, const char *key, const char *raw) {
  size_t section_length = strlen(ini_section_buffer);
  size_t key_length = strlen(key);
  // A cut name could overwrite another key, so a name that does not fit is skipped.
  if (section_length + 1 + key_length > size_t(FILE_LINE_MAX)) return;
  char *expanded = symtab_expand_refs(raw, env);
  if (expanded == nullptr) return;
  const char *value = expanded;
  if (expanded[0] == '"') {
    if (strchr(expanded, '\\') != nullptr) resolve_escapes(expanded);
    size_t length = strlen(expanded);
    // The last character is taken as the closing quote, even when the line had none.
    expanded[length - 1] = '\0';
    if (length > 1) value = expanded + 1;
  }
  ini_section_buffer[section_length] = ':';
  memcpy(ini_section_buffer + section_length + 1, key, key_length + 1);
  symtab_put(table, ini_section_buffer, value, nullptr, 0);
  ini_section_buffer[section_length] = '\0';
  tagmem_free(expanded, nullptr, 0);
}

// Returns true when nothing is left to read in stream and no read failed. A line that begins
// with 0x1A ends the line reader's input, so whatever follows such a line was never read.
bool at_end(FILE *stream) {
  return getc(stream) == EOF && ferror(stream) == 0;
}

// Reads every entry of stream into table, then closes stream and sorts the table. Returns true
// when the stream was read to its end without a read error.
bool load_stream(symbol_table *table, FILE *stream) {
  symbol_table *env = env_to_symtab();
  // Without an environment table the references cannot be expanded; the load gives up and the
  // table keeps what it had.
  if (env != nullptr) {
    rewind(stream);
    bool in_section = false;
    for (;;) {
      char *name = nullptr;
      char *value = nullptr;
      bool is_entry = ini_read_entry(stream, &name, &value);
      if (name == nullptr) break;
      if (!is_entry) {
        in_section = true;
        symtab_put(table, name, "", nullptr, 0);
      } else if (in_section) {
        put_entry(table, env, name, value);
      }
    }
  }
  // A directory opens as a stream and fails at its first read, which looks like an empty file.
  bool whole = env != nullptr && at_end(stream);
  file_close(stream);
  symtab_free(env);
  symtab_sort(table, nullptr);
  return whole;
}

void put_number(symbol_table *table, const char *name, long number) {
  char text[32];
  snprintf(text, sizeof text, "%ld", number);
  symtab_put(table, name, text, nullptr, 0);
}

// Composes the look-up name "section:key" (section alone without a key) in lower case in the
// key buffer. Returns false when the name does not fit.
bool compose_lookup_name(const char *section, const char *key) {
  if (section == nullptr) section = "";
  int length = key != nullptr && key[0] != '\0'
                   ? snprintf(ini_key_buffer, sizeof ini_key_buffer, "%s:%s", section, key)
                   : snprintf(ini_key_buffer, sizeof ini_key_buffer, "%s", section);
  if (length < 0 || length > FILE_LINE_MAX) return false;
  for (char *p = ini_key_buffer; *p != '\0'; ++p)
    *p = char(tolower(static_cast<unsigned char>(*p)));
  return true;
}

}  // namespace

symbol_table *ini_load(symbol_table *table, const char *name) {
  FILE *stream = name != nullptr ? file_locate(INI_SEARCH_LIST, name, nullptr) : nullptr;
  if (table == nullptr) {
    table = symtab_new(nullptr, 0);
    if (table == nullptr) {
      file_close(stream);
      return nullptr;
    }
  } else if (stream == nullptr) {
    return table;
  }
  // Date and time belong to the name as given, so a file found only along PATH records 0.
  time_t modified = name != nullptr ? file_mtime(name) : 0;
  symtab_put(table, INI_FILE_NAME, name != nullptr ? name : "", nullptr, 0);
  put_number(table, INI_FILE_DATE, date_from_time(modified));
  put_number(table, INI_FILE_TIME, time_from_time(modified));
  if (stream != nullptr) load_stream(table, stream);
  return table;
}

symbol_table *ini_load_if_found(symbol_table *table, const char *name) {
  FILE *stream = name != nullptr ? file_locate(INI_SEARCH_LIST, name, nullptr) : nullptr;
  if (stream == nullptr) return nullptr;
  file_close(stream);
  return ini_load(table, name);
}

symbol_table *ini_merge(symbol_table *table, const char *path) {
  ini_merge_checked(table, path);
  return table;
}

bool ini_merge_checked(symbol_table *table, const char *path) {
  assert(table != nullptr);
  FILE *stream = file_open(path, 'r');
  return stream != nullptr && load_stream(table, stream);
}

bool ini_unset_ref(const char *path, const char *name, char *ref, size_t size) {
  if (ref != nullptr && size > 0) ref[0] = '\0';
  if (path == nullptr || name == nullptr) return false;
  FILE *stream = file_open(path, 'r');
  if (stream == nullptr) return false;
  // The raw values, as the file writes them; the last occurrence of a name wins, as in a load.
  symbol_table *raw = symtab_new(nullptr, 0);
  bool in_section = false;
  for (char *key = nullptr, *value = nullptr; raw != nullptr;) {
    bool is_entry = ini_read_entry(stream, &key, &value);
    if (key == nullptr) break;
    if (!is_entry) {
      in_section = true;
      continue;
    }
    if (!in_section) continue;
    size_t section_length = strlen(ini_section_buffer);
    if (section_length + 1 + strlen(key) > size_t(FILE_LINE_MAX)) continue;
    ini_section_buffer[section_length] = ':';
    memcpy(ini_section_buffer + section_length + 1, key, strlen(key) + 1);
    symtab_put(raw, ini_section_buffer, value, nullptr, 0);
    ini_section_buffer[section_length] = '\0';
  }
  file_close(stream);
  symbol_table *env = raw != nullptr ? env_to_symtab() : nullptr;
  const char *text = env != nullptr ? symtab_get_text(raw, name, nullptr) : nullptr;
  bool unset = text != nullptr && symtab_unset_ref(text, env, ref, size);
  symtab_free(env);
  symtab_free(raw);
  return unset;
}

bool ini_read_entry(FILE *stream, char **name, char **value) {
  assert(name != nullptr && value != nullptr);
  *name = nullptr;
  *value = nullptr;
  while (file_read_line(stream, ini_line_buffer)) {
    trim_end(ini_line_buffer);
    char *text = skip_spaces(ini_line_buffer);
    if (*text == '\0' || *text == ';' || *text == '#') continue;
    if (*text == '!') {
      trace_message(skip_spaces(text + 1));
      continue;
    }
    // The "=" test comes first: "[a=b]" is the key "[a" with the value "b]".
    char *equals = strchr(text, '=');
    if (equals == nullptr) {
      std::string_view section;
      if (strcmp(text, "[]") != 0 && !header_name(text, &section)) continue;
      copy_bounded(ini_section_buffer, section);
      *name = ini_section_buffer;
      return false;
    }
    *equals = '\0';
    trim_end(text);
    copy_bounded(ini_key_buffer, text);
    char *raw = skip_spaces(equals + 1);
    if (*raw == '"') {
      join_continuations(stream, raw);
      cut_after_closing_quote(raw);
    } else {
      raw[strcspn(raw, ";#")] = '\0';
    }
    trim_end(raw);
    copy_bounded(ini_value_buffer, raw);
    *name = ini_key_buffer;
    *value = ini_value_buffer;
    return true;
  }
  return false;
}

bool ini_find_section(FILE *stream, const char *section, bool from_start) {
  if (from_start) rewind(stream);
  while (file_read_line(stream, ini_line_buffer)) {
    char *text = skip_spaces(ini_line_buffer);
    if (*text == '\0' || *text == ';' || *text == '#') continue;
    if (*text == '!') {
      trace_message(skip_spaces(text + 1));
      continue;
    }
    std::string_view found;
    if (header_name(text, &found) && equal_lower(found, section)) {
      copy_bounded(ini_section_buffer, found);
      return true;
    }
  }
  return false;
}

bool ini_changed(symbol_table *table) {
  symbol *file = symtab_find(table, INI_FILE_NAME);
  if (file == nullptr || file->value == nullptr) return false;
  long date = symtab_get_int(table, INI_FILE_DATE, 0);
  long time = symtab_get_int(table, INI_FILE_TIME, 0);
  return file_has_changed(file->value, date, time);
}

bool ini_refresh(symbol_table *table) {
  if (!ini_changed(table)) return false;
  char *name = tagmem_strdup(nullptr, symtab_find(table, INI_FILE_NAME)->value, nullptr, 0);
  if (name == nullptr) return false;
  symtab_clear(table);
  ini_load(table, name);
  tagmem_free(name, nullptr, 0);
  return true;
}

const char *ini_get(symbol_table *table, const char *section, const char *key,
                    const char *default_text) {
  if (!compose_lookup_name(section, key)) return default_text;
  return symtab_get_text(table, ini_key_buffer, default_text);
}

char **ini_get_list(symbol_table *table, const char *section, const char *key,
                    const char *default_text) {
  const char *text = ini_get(table, section, key, default_text);
  if (text == nullptr) text = default_text;
  if (text == nullptr) text = "";
  size_t length = strlen(text);
  char *copy = ini_line_buffer;
  // A value set by a caller may be longer than a line; it gets a copy of its own.
  if (length > size_t(FILE_LINE_MAX)) {
    copy = tagmem_strdup(nullptr, text, nullptr, 0);
    if (copy == nullptr) return nullptr;
  } else {
    memcpy(copy, text, length + 1);
  }
  for (char *p = copy; *p != '\0'; ++p) {
    if (*p == ',') *p = ' ';
  }
  char **list = wordlist_split(copy);
  if (copy != ini_line_buffer) tagmem_free(copy, nullptr, 0);
  return list;
}

const char *ini_get_or_add(symbol_table *table, const char *section, const char *key,
                           const char *default_text) {
  if (!compose_lookup_name(section, key)) return default_text;
  if (symtab_find(table, ini_key_buffer) == nullptr && default_text != nullptr)
    symtab_put(table, ini_key_buffer, default_text, nullptr, 0);
  return symtab_get_text(table, ini_key_buffer, default_text);
}

symbol_table *env_to_symtab(void) {
  symbol_table *env = symtab_new(nullptr, 0);
  if (env == nullptr) return nullptr;
  for (char **entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    char *copy = tagmem_strdup(nullptr, *entry, nullptr, 0);
    if (copy == nullptr) continue;
    char *equals = strchr(copy, '=');
    if (equals != nullptr) {
      *equals = '\0';
      for (char *p = copy; *p != '\0'; ++p) *p = char(toupper(static_cast<unsigned char>(*p)));
      symtab_put(env, copy, equals + 1, nullptr, 0);
    }
    tagmem_free(copy, nullptr, 0);
  }
  return env;
}

void trace_message(const char *text) {
  if (trace_state == 0) return;
  FILE *out = trace_file != nullptr ? trace_file : stdout;
  time_t now = time(nullptr);
  struct tm local {};
  localtime_r(&now, &local);
  fprintf(out, TRACE_TIME_FORMAT, local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
          local.tm_hour, local.tm_min, local.tm_sec);
  fprintf(out, ": %s\n", text != nullptr ? text : "");
  fflush(out);
}

namespace {

// Copies the lines above the end marker of the old file, when it exists, into out. The
// line-ending mode is left as the prologue set it: on from its first line that ended in CR LF,
// off when the marker was not found (nothing of such a file survives) or there is no old file.
// An old file that cannot be read fails: its prologue would be lost.
bool write_prologue(FILE *out, const char *path, bool exists) {
  file_crlf = 0;
  if (!exists) return true;
  FILE *old = file_open(path, 'r');
  if (old == nullptr) return false;
  // The lines are collected apart, since a file without marker keeps none of them.
  char *kept_data = nullptr;
  size_t kept_size = 0;
  FILE *kept = open_memstream(&kept_data, &kept_size);
  if (kept == nullptr) {
    file_close(old);
    return false;
  }
  bool found = false;
  bool written = true;
  for (;;) {
    // The marker's own CR LF must not count, so the mode before reading it is kept.
    int16_t crlf_before = file_crlf;
    if (!file_read_line(old, ini_line_buffer)) break;
    if (strcmp(ini_line_buffer, INI_END_MARKER) == 0) {
      file_crlf = crlf_before;
      found = true;
      break;
    }
    if (file_write_line(kept, ini_line_buffer) == nullptr) {
      written = false;
      break;
    }
  }
  // A read error, or a 0x1A line short of the marker, must not pass for the end of a file
  // without marker: the prologue would be lost.
  bool read_failed = found ? ferror(old) != 0 : !at_end(old);
  file_close(old);
  if (fclose(kept) != 0) written = false;
  if (written && !read_failed && found) {
    written = fwrite(kept_data, 1, kept_size, out) == kept_size;
  } else if (!found) {
    file_crlf = 0;
  }
  free(kept_data);
  return written && !read_failed;
}

bool write_escaped(FILE *out, const char *value) {
  for (const char *p = value != nullptr ? value : ""; *p != '\0'; ++p) {
    int ok;
    switch (*p) {
      case '\n':
        ok = fputs("\\n", out);
        break;
      case '"':
      case '\\':
      case '(':
        ok = fputc('\\', out) != EOF ? fputc(*p, out) : EOF;
        break;
      default:
        ok = fputc(*p, out);
    }
    if (ok == EOF) return false;
  }
  return true;
}

// Writes the marker and the table, one header per section. Lines are written whole, also
// those the line reader will split when it reads them back.
bool write_entries(FILE *out, symbol_table *table) {
  if (file_write_line(out, INI_END_MARKER) == nullptr) return false;
  symtab_sort(table, nullptr);
  std::string_view current;
  for (symbol *sym = table->symbols; sym != nullptr; sym = sym->next) {
    const char *colon = strrchr(sym->name, ':');
    if (colon == nullptr) continue;
    std::string_view section(sym->name, size_t(colon - sym->name));
    if (section != current) {
      current = section;
      if (file_write_line(out, "") == nullptr || fputc('[', out) == EOF ||
          fwrite(section.data(), 1, section.size(), out) != section.size() ||
          file_write_line(out, "]") == nullptr)
        return false;
    }
    if (fputs("    ", out) == EOF || fputs(colon + 1, out) == EOF || fputs(" = \"", out) == EOF ||
        !write_escaped(out, sym->value) || file_write_line(out, "\"") == nullptr)
      return false;
  }
  return ferror(out) == 0;
}

// A file's whole content in memory: the new file, composed before the file on disk is touched,
// or the old one, kept to be written back.
struct composed_file {
  char *data = nullptr;
  size_t size = 0;
  ~composed_file() { free(data); }
};

bool compose(symbol_table *table, const char *target, bool exists, composed_file *out) {
  FILE *stream = open_memstream(&out->data, &out->size);
  if (stream == nullptr) return false;
  bool ok = write_prologue(stream, target, exists) && write_entries(stream, table);
  // Closing makes data and size final; a flush that runs out of memory fails here.
  if (fclose(stream) != 0) ok = false;
  return ok;
}

}  // namespace

int ini_save(symbol_table *table, const char *name) {
  if (table == nullptr || name == nullptr || name[0] == '\0') return -1;
  replace_target target;
  if (replace_prepare(name, &target) != 0) return -1;
  composed_file content;
  if (!compose(table, target.path, target.exists, &content)) return -1;
  return replace_commit(&target, content.data, content.size);
}
