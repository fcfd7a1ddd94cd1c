/* SPDX-License-Identifier: BSD-2-Clause */
/* The protocol's constants, shared by the daemon, the client library and the tools: the size of
 * a request, the requests with fixed texts, the reply codes and texts, the default socket and
 * its configuration key. Plain C macros, so that C and C++ read them alike and string texts
 * concatenate. A request is one message of text, "\r\n" and a NUL; a reply is a three-digit
 * code, a hyphen, a text, "\r\n" and a NUL. */
#ifndef VRELL_BASE_WIRE_H_
#define VRELL_BASE_WIRE_H_

/* The most the daemon reads for one request, in one receive; the last byte is dropped. */
#define REQUEST_MAX 1034
/* The longest path a request carries. */
#define REQUEST_PATH_MAX 1023
/* The daemon's reply buffer; every reply but the counters is at most 62 characters. */
#define REPLY_MAX 63

/* Requests with fixed texts, each sent with its NUL in one send. */
#define REQUEST_STATUS "K\r\n" /* the status line; also the guard's probe */
#define REQUEST_STATS "S\r\n"  /* the counters */
/* The orderly stop's wake-up. Not a command: it is answered "210-Invalid request". */
#define REQUEST_EXIT "X\r\n"

/* Reply codes. */
#define REPLY_CODE_STATUS 101
#define REPLY_CODE_STATS 102
#define REPLY_CODE_ADDED 201
#define REPLY_CODE_MODIFIED 202
#define REPLY_CODE_FULL 203
#define REPLY_CODE_DELETED 204
#define REPLY_CODE_CLEAN 205
#define REPLY_CODE_INFECTED 206
#define REPLY_CODE_STALE 207
#define REPLY_CODE_CACHE_ERROR 208
#define REPLY_CODE_NOT_FOUND 209
#define REPLY_CODE_INVALID 210
#define REPLY_CODE_CLEARED 211

/* Reply texts, exactly as clients expect them. */
#define REPLY_ADDED "201-File added successfully\r\n"
#define REPLY_MODIFIED "202-File already in cache, entry modified\r\n"
#define REPLY_FULL "203-File not added. Cache full\r\n"
#define REPLY_DELETED "204-File deleted successfully\r\n"
#define REPLY_CLEAN "205-File is marked clean in cache\r\n"
#define REPLY_INFECTED "206-File is marked infected in cache\r\n"
#define REPLY_STALE "207-File found but mtime changed. Entry removed\r\n"
#define REPLY_CACHE_ERROR "208-Cache error\r\n"
#define REPLY_NOT_FOUND "209-File not found in Cache\r\n"
#define REPLY_INVALID "210-Invalid request\r\n"
#define REPLY_CLEARED "211-Cache cleared\r\n"
/* The head of the status line; ";DD-MM-YYYY;HH:MM:SS;PID\r\n" follows. */
#define STATUS_TEXT "101-OK: Cache running"
/* The head of the counters; "name=value" fields separated by ';' and "\r\n" follow. */
#define STATS_TEXT "102-Stats: "

/* The socket the daemon listens on and clients look for when nothing names another. */
#define DEFAULT_SOCKET_PATH "/opt/Torvane/var/run/qxvrell"
/* The configuration key that names the socket: section "vrell", a colon, the key. */
#define SETTINGS_KEY_SOCKET "vrell:QXVrellSocket"
/* The daemon's path settings hold at most this many bytes with the terminator; it keeps the
 * first SETTINGS_PATH_MAX - 1 characters of a longer value. */
#define SETTINGS_PATH_MAX 256

#endif /* VRELL_BASE_WIRE_H_ */
