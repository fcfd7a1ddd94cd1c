// SPDX-License-Identifier: BSD-2-Clause
// Fuzzes the INI reader on arbitrary file content, and checks the round trip: the table that
// ini_load makes, written by ini_save, reads back through ini_load as the same entries. The
// check applies to tables the written form can carry: values without tab, CR or 0x1A (the line
// reader changes them), names whose section and key the reader parses back as written, and
// lines that fit the line reader. Every tagged block is released again afterwards.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>

#include "config/file.h"
#include "config/ini.h"
#include "config/tagmem.h"
#include "fuzz/check.h"

namespace {

// A private directory for the files of this process, removed at exit.
std::string directory;
std::string input_path;
std::string output_path;

void remove_directory() {
  unlink(input_path.c_str());
  unlink(output_path.c_str());
  rmdir(directory.c_str());
}

void make_directory() {
  // Every save syncs its file; on a memory-backed file system that costs next to nothing.
  const char *tmp = getenv("TMPDIR");
  if (tmp == nullptr || tmp[0] == '\0') tmp = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  std::string pattern = std::string(tmp) + "/vrell-ini-fuzz-XXXXXX";
  FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr);
  directory = pattern;
  input_path = directory + "/in.ini";
  output_path = directory + "/out.ini";
  atexit(remove_directory);
}

using entries = std::map<std::string, std::string>;

entries entries_of(symbol_table *table) {
  entries result;
  for (symbol *sym = table->symbols; sym != nullptr; sym = sym->next)
    result[sym->name] = sym->value != nullptr ? sym->value : "";
  return result;
}

size_t escaped_length(const std::string &value) {
  size_t length = value.size();
  for (char c : value) length += c == '\n' || c == '"' || c == '\\' || c == '(';
  return length;
}

// True when the written form of every entry reads back as written. Collects the sections
// that get a header.
bool round_trip_applies(const entries &table, std::set<std::string> *headers) {
  for (const auto &[name, value] : table) {
    size_t colon = name.rfind(':');
    if (colon == std::string::npos) continue;
    std::string section = name.substr(0, colon);
    std::string key = name.substr(colon + 1);
    // The reader skips leading spaces and comment marks and trims trailing white space. Keys of
    // the empty section count too: they may come back under a "[]" header (see compared).
    if (!key.empty() && strchr(" ;#!", key[0]) != nullptr) return false;
    if (!key.empty() && strchr(" \t\n\v\f\r", key.back()) != nullptr) return false;
    if (value.find_first_of("\t\r\x1a") != std::string::npos) return false;
    if (colon == 0) continue;
    if (section.find_first_of("]=") != std::string::npos) return false;
    if (section.size() + 2 > size_t(FILE_LINE_MAX)) return false;
    if (4 + key.size() + 4 + escaped_length(value) + 1 > size_t(FILE_LINE_MAX)) return false;
    headers->insert(section);
  }
  return true;
}

bool is_file_entry(const std::string &name) {
  return name == INI_FILE_NAME || name == INI_FILE_DATE || name == INI_FILE_TIME;
}

// The entries that must come back: names with a section, other than a section name that
// gets a header (its value then depends on the order of the lines). Entries of the empty
// section may come back too, under a "[]" header, when a section beginning with ":" sorts
// before them.
bool compared(const std::string &name, const std::set<std::string> &headers) {
  size_t colon = name.rfind(':');
  return colon != std::string::npos && colon != 0 && headers.count(name) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (directory.empty()) make_directory();
  FILE *file = fopen(input_path.c_str(), "wb");
  FUZZ_CHECK(file != nullptr);
  FUZZ_CHECK(fwrite(data, 1, size, file) == size);
  FUZZ_CHECK(fclose(file) == 0);
  size_t in_use = tagmem_bytes_in_use();

  symbol_table *loaded = ini_load(nullptr, input_path.c_str());
  FUZZ_CHECK(loaded != nullptr);
  entries first = entries_of(loaded);
  // A section named like the file entry replaces it with the empty value.
  FUZZ_CHECK(first[INI_FILE_NAME] == input_path || first[INI_FILE_NAME].empty());
  std::set<std::string> headers;
  if (round_trip_applies(first, &headers)) {
    unlink(output_path.c_str());
    FUZZ_CHECK(ini_save(loaded, output_path.c_str()) == 0);
    symbol_table *again = ini_load(nullptr, output_path.c_str());
    FUZZ_CHECK(again != nullptr);
    entries second = entries_of(again);
    symtab_free(again);
    for (const auto &[name, value] : first) {
      if (!compared(name, headers)) continue;
      auto found = second.find(name);
      FUZZ_CHECK(found != second.end());
      FUZZ_CHECK(found->second == value);
    }
    // Nothing comes back that was not saved, apart from headers and the file's own entries.
    for (const auto &[name, value] : second) {
      if (headers.count(name) == 1 || is_file_entry(name) || name.empty()) continue;
      auto found = first.find(name);
      FUZZ_CHECK(found != first.end());
      FUZZ_CHECK(found->second == value);
    }
    for (const std::string &section : headers) FUZZ_CHECK(second.count(section) == 1);
  }
  symtab_free(loaded);
  FUZZ_CHECK(tagmem_bytes_in_use() == in_use);
  return 0;
}
