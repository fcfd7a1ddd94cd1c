/* SPDX-License-Identifier: BSD-2-Clause */
/* The client side of the vrell protocol: find the daemon's socket, connect to it, send one
 * request with its NUL in one send, receive one reply. Used by vrell-cli, the tests and the
 * benchmarks; C-compatible so that scanner components written in C can link it.
 *
 * Scanners use the typed calls (vrell_client_add, _query, _delete, _clear, _status): they
 * compose the request, refuse a path the protocol cannot carry, and return a result a program
 * can switch on. vrell_client_request and vrell_client_exchange send text as given.
 *
 * Thread safety: every call is independent; any number of threads may call at once. */
#ifndef VRELL_CLIENT_CLIENT_H_
#define VRELL_CLIENT_CLIENT_H_

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The version of this header; vrell_client_version gives the library's. */
#define VRELL_CLIENT_VERSION_MAJOR 0
#define VRELL_CLIENT_VERSION_MINOR 1
#define VRELL_CLIENT_VERSION_PATCH 0

/* Large enough for every reply of the daemon with its NUL, except the stats reply. */
#define VRELL_CLIENT_REPLY_MAX 256

/* Large enough for the stats reply with its NUL; a reply is never read beyond this. */
#define VRELL_CLIENT_STATS_MAX 4096

/* The most bytes the daemon reads for one request, its NUL included. */
#define VRELL_CLIENT_REQUEST_MAX 1034

/* The longest path every typed call carries, whatever its mtime and verdict. The daemon's
 * path field holds 1023 characters, but an add of a 20-character mtime leaves room for 1008 in
 * the 1033 bytes of text it reads; a typed call leaves out the CR LF it normally appends when
 * the request would not fit with it (the daemon drops those anyway). */
#define VRELL_CLIENT_PATH_MAX 1008

/* Failure codes; a reply's result code is always positive. */
#define VRELL_CLIENT_ECONNECT (-1) /* the socket could not be reached */
#define VRELL_CLIENT_ESEND (-2)    /* the request could not be sent */
#define VRELL_CLIENT_ERECV (-3)    /* the receive failed or the daemon closed without a reply */
#define VRELL_CLIENT_ETIMEOUT (-4) /* no reply within the time-out */
/* A bad argument: a null pointer, a socket path too long for a socket address, a negative
 * time-out, a request text too long, a verdict other than 0 or 1, a scan start in the future. */
#define VRELL_CLIENT_EARG (-5)
#define VRELL_CLIENT_EPEER (-6)   /* the socket is served by another uid than the expected one */
#define VRELL_CLIENT_ECONFIG (-7) /* the configuration file cannot be read or is no file */
/* A path the protocol cannot carry: empty, ending in CR or LF (the daemon drops those from the
 * end of a request, so another file would be named), or longer than VRELL_CLIENT_PATH_MAX. A C
 * string cannot hold a NUL, so a path is always what precedes its first one. */
#define VRELL_CLIENT_EPATH (-8)
#define VRELL_CLIENT_EREPLY (-9) /* a reply whose code does not answer the request sent */
/* The descriptor's status cannot be read, it is not a regular file, or its status-change time
 * lies before the epoch. */
#define VRELL_CLIENT_EFILE (-10)
/* Not stored: the file's status changed less than 2 s before the scan began, or since. Its
 * content may differ from what was scanned; scan it again next time. */
#define VRELL_CLIENT_EUNSETTLED (-11)
/* The configuration's socket path names an environment variable that is not set. */
#define VRELL_CLIENT_EUNSET (-12)

/* Results of the typed calls: the daemon's answer, with the number of its reply code. */
#define VRELL_CLIENT_STATUS 101      /* the status line */
#define VRELL_CLIENT_ADDED 201       /* a new entry */
#define VRELL_CLIENT_MODIFIED 202    /* the entry of the path was replaced */
#define VRELL_CLIENT_FULL 203        /* not added: every entry is still valid */
#define VRELL_CLIENT_DELETED 204     /* the entry was removed */
#define VRELL_CLIENT_CLEAN 205       /* the file is known clean at that mtime */
#define VRELL_CLIENT_INFECTED 206    /* the file is known infected at that mtime */
#define VRELL_CLIENT_STALE 207       /* the entry had expired or another mtime; removed */
#define VRELL_CLIENT_CACHE_ERROR 208 /* the daemon could not serve the request */
#define VRELL_CLIENT_NOT_FOUND 209   /* no entry for the path */
#define VRELL_CLIENT_INVALID 210     /* the daemon could not read the request */
#define VRELL_CLIENT_CLEARED 211     /* every entry was removed */

/* The verdicts of vrell_client_add. */
#define VRELL_CLIENT_VERDICT_CLEAN 0
#define VRELL_CLIENT_VERDICT_INFECTED 1

/* The expected_uid that accepts a server of any uid. */
#define VRELL_CLIENT_ANY_UID ((uid_t)-1)

/* Sends request (the text; the NUL is added) to the daemon at socket_path and waits at most
 * timeout_ms milliseconds (0: no bound) for the connect and for the reply. On success
 * copies the reply text without its NUL into reply (reply_size bytes, always terminated) and
 * returns the reply's result code: its first three characters when they are digits and a
 * hyphen follows them, as in every reply of the daemon; else 0. On failure
 * returns one of the negative codes above and leaves reply empty. */
int vrell_client_request(const char *socket_path, const char *request, char *reply,
                         size_t reply_size, int timeout_ms);

/* Sends the len bytes of data exactly as given (no NUL is added; len 0 sends nothing) in one
 * send, shuts down the writing side, then receives one reply as vrell_client_request does.
 * For tests and tools that must send what a well-behaved client would not: over-long
 * messages, missing terminators, nothing at all. Returns as vrell_client_request. */
int vrell_client_exchange(const char *socket_path, const void *data, size_t len, char *reply,
                          size_t reply_size, int timeout_ms);

/* As vrell_client_request and vrell_client_exchange, but once connected they read the uid of
 * the process that listens on socket_path (SO_PEERCRED) and, unless expected_uid is
 * VRELL_CLIENT_ANY_UID, return VRELL_CLIENT_EPEER without sending anything when it differs or
 * cannot be read. A socket node in a directory that others can write can be replaced by
 * anyone's; this check keeps a client from handing its requests to, and trusting the replies
 * of, such an impostor. Returns as vrell_client_request. */
int vrell_client_request_checked(const char *socket_path, const char *request, char *reply,
                                 size_t reply_size, int timeout_ms, uid_t expected_uid);
int vrell_client_exchange_checked(const char *socket_path, const void *data, size_t len,
                                  char *reply, size_t reply_size, int timeout_ms,
                                  uid_t expected_uid);

/* The typed calls. Each composes its request ("A mtime verdict path", "Q mtime path",
 * "D path", "C", "K", each with CR LF, left out only where the request would not fit with it,
 * and the NUL), sends it as vrell_client_request does and waits at most timeout_ms
 * milliseconds (0: no bound). Returns the result the reply's code
 * names, as listed for each call; VRELL_CLIENT_CACHE_ERROR and VRELL_CLIENT_INVALID can answer
 * any of them. Returns VRELL_CLIENT_EPATH, without connecting, for a path the protocol cannot
 * carry; VRELL_CLIENT_EREPLY for a reply with any other code; otherwise a negative code of
 * vrell_client_request. Never prints.
 *
 * The _checked forms take expected_uid as vrell_client_request_checked does, and copy the reply
 * text without its NUL into reply (reply_size bytes, always terminated) when reply is not null:
 * the daemon's own line whatever its code, empty after a failure before a reply arrived.
 *
 * vrell_client_add: VRELL_CLIENT_ADDED, _MODIFIED or _FULL. verdict is
 * VRELL_CLIENT_VERDICT_CLEAN or _INFECTED; any other is refused with VRELL_CLIENT_EARG without
 * connecting, since the daemon reads only its low 8 bits (256 would store clean). */
int vrell_client_add(const char *socket_path, const char *path, int64_t mtime, int verdict,
                     int timeout_ms);
int vrell_client_add_checked(const char *socket_path, const char *path, int64_t mtime, int verdict,
                             int timeout_ms, uid_t expected_uid, char *reply, size_t reply_size);

/* VRELL_CLIENT_CLEAN, _INFECTED, _STALE or _NOT_FOUND. */
int vrell_client_query(const char *socket_path, const char *path, int64_t mtime, int timeout_ms);
int vrell_client_query_checked(const char *socket_path, const char *path, int64_t mtime,
                               int timeout_ms, uid_t expected_uid, char *reply, size_t reply_size);

/* VRELL_CLIENT_DELETED or _NOT_FOUND. */
int vrell_client_delete(const char *socket_path, const char *path, int timeout_ms);
int vrell_client_delete_checked(const char *socket_path, const char *path, int timeout_ms,
                                uid_t expected_uid, char *reply, size_t reply_size);

/* VRELL_CLIENT_CLEARED. */
int vrell_client_clear(const char *socket_path, int timeout_ms);
int vrell_client_clear_checked(const char *socket_path, int timeout_ms, uid_t expected_uid,
                               char *reply, size_t reply_size);

/* VRELL_CLIENT_STATUS when the reply begins with the status line's head "101-OK: Cache
 * running", with the line copied into line (line_size bytes, terminated) as reply is by the
 * _checked forms; line is required. */
int vrell_client_status(const char *socket_path, char *line, size_t line_size, int timeout_ms);
int vrell_client_status_checked(const char *socket_path, char *line, size_t line_size,
                                int timeout_ms, uid_t expected_uid);

/* Calls on an open descriptor, which key a verdict to the bytes that were scanned.
 *
 * A file's stamp is its status-change time (st_ctim) in nanoseconds since the epoch, a signed
 * 64-bit number, read with fstat from a descriptor the caller opened. Every write, truncate,
 * utimensat and change of mode or owner moves it to the current time, and only the owner of
 * the clock can set it back; the modification time in seconds misses a rewrite within the same
 * second, and any writer of the file can set it back. Reading it from the descriptor, never from
 * the path again, keeps a rename between the stamp and the scan from tying one file's verdict to
 * another's stamp.
 *
 * The one correct order: open the file; vrell_client_query_fd; on a miss, note the time
 * (CLOCK_REALTIME in nanoseconds, the clock st_ctim is set from), scan through the same
 * descriptor, and vrell_client_add_fd with that time. A stamp that moved during the scan, or
 * less than 2 s before it (a file still being written, or a file system whose times have a
 * coarse grain), is not stored: such a file is scanned every time, never answered from the
 * cache. An entry stored with a stamp never matches one stored in seconds: a client that
 * still sends seconds only misses. */

/* Returns the stamp of the open file fd (0 or more), or VRELL_CLIENT_EFILE. Never prints. */
int64_t vrell_client_file_stamp(int fd);

/* As vrell_client_query with the stamp of fd as mtime; path is the name the caller opened fd
 * by (absolute, since the path is the key). Returns, without connecting, VRELL_CLIENT_EPATH or
 * VRELL_CLIENT_EARG for the path as vrell_client_query does, then VRELL_CLIENT_EFILE when fd is
 * not an open regular file; otherwise as vrell_client_query_checked. */
int vrell_client_query_fd(const char *socket_path, const char *path, int fd, int timeout_ms);
int vrell_client_query_fd_checked(const char *socket_path, const char *path, int fd, int timeout_ms,
                                  uid_t expected_uid, char *reply, size_t reply_size);

/* As vrell_client_add with the stamp of fd as mtime, where scan_started_ns is the
 * CLOCK_REALTIME time in nanoseconds at which the scan of fd began. Returns, without
 * connecting and in this order: VRELL_CLIENT_EPATH or VRELL_CLIENT_EARG for the path and the
 * verdict as vrell_client_add does; VRELL_CLIENT_EARG when scan_started_ns is negative or later
 * than now; VRELL_CLIENT_EFILE when fd is not an open regular file; VRELL_CLIENT_EUNSETTLED
 * when the stamp is not at least 2 s older than scan_started_ns. Otherwise as
 * vrell_client_add_checked. */
int vrell_client_add_fd(const char *socket_path, const char *path, int fd, int64_t scan_started_ns,
                        int verdict, int timeout_ms);
int vrell_client_add_fd_checked(const char *socket_path, const char *path, int fd,
                                int64_t scan_started_ns, int verdict, int timeout_ms,
                                uid_t expected_uid, char *reply, size_t reply_size);

/* Returns the installed configuration file: vrell/vrell.ini in the system configuration
 * directory the library was built for (/etc/vrell/vrell.ini with the prefix /usr). Static
 * storage; never null. */
const char *vrell_client_installed_config(void);

/* Reads the configuration file at conf_path as the daemon does (its key QXVrellSocket of
 * section vrell, $(NAME) references replaced from the environment) and copies the socket path
 * it gives the daemon into out (out_size bytes, terminated): the key's value, or the built-in
 * path when the file has no such key. Returns 0; VRELL_CLIENT_ECONFIG when the file cannot be
 * read or is not a regular file after following links (a directory, a FIFO, a device: never
 * opened, so that a FIFO or /dev/zero cannot keep the caller waiting); VRELL_CLIENT_EUNSET when
 * the socket path holds a $(NAME) reference that the environment does not set, which would
 * otherwise silently become an empty text: out then holds NAME; VRELL_CLIENT_EARG for a null
 * or empty argument or when the path does not fit in out. On any other failure out is left
 * empty. */
int vrell_client_socket_from_config(const char *conf_path, char *out, size_t out_size);

/* Copies into out the socket path in this order: socket_path when not null; else that of the
 * configuration file conf_path when not null (failing as vrell_client_socket_from_config
 * does); else that of the installed configuration when that file is readable; else the
 * built-in path. Returns as vrell_client_socket_from_config. */
int vrell_client_find_socket(const char *socket_path, const char *conf_path, char *out,
                             size_t out_size);

/* Returns a short text for a negative code of the calls above. Never null. */
const char *vrell_client_strerror(int code);

/* Returns the version of the library that runs, "MAJOR.MINOR.PATCH", and stores its three
 * numbers through the pointers that are not null. A program built against this header may
 * compare them with VRELL_CLIENT_VERSION_MAJOR and the others. Static storage; never null. */
const char *vrell_client_version(int *major, int *minor, int *patch);

#ifdef __cplusplus
}
#endif

#endif /* VRELL_CLIENT_CLIENT_H_ */
