/* SPDX-License-Identifier: BSD-2-Clause */
// The key a file's verdict is cached under: its absolute path, made from the path as typed
// without looking anything up, so that vrell-cli and vrell-scan store and ask under the same
// text.
//
// Thread safety: every call is independent; any number of threads may call at once. Never
// prints.
#ifndef VRELL_TOOLS_FILE_KEY_H_
#define VRELL_TOOLS_FILE_KEY_H_

#include <string>

// Writes into *out the absolute form of typed: the working directory joined to a relative path,
// with "." components and repeated slashes left out. ".." stays, since through a symbolic link
// it names another directory than the text before it. Nothing is looked up, so the file is
// found once, by the open of the result. Returns false when the working directory cannot be
// read.
bool file_key_absolute(const char *typed, std::string *out);

#endif  // VRELL_TOOLS_FILE_KEY_H_
