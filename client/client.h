/* The client side of the vrell protocol: connect to the daemon's socket, send one request
 * with its NUL in one send, receive one reply. Used by vrell-cli, the tests and the
 * benchmarks; C-compatible so that scanner components written in C can link it.
 *
 * Thread safety: every call is independent; any number of threads may call at once. */
#ifndef VRELL_CLIENT_CLIENT_H_
#define VRELL_CLIENT_CLIENT_H_

#include <stddef.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Large enough for every reply of the daemon with its NUL. */
#define VRELL_CLIENT_REPLY_MAX 256

/* The most bytes the daemon reads for one request, its NUL included. */
#define VRELL_CLIENT_REQUEST_MAX 1034

/* Failure codes; a reply's result code is always positive. */
#define VRELL_CLIENT_ECONNECT (-1) /* the socket could not be reached */
#define VRELL_CLIENT_ESEND (-2)    /* the request could not be sent */
#define VRELL_CLIENT_ERECV (-3)    /* the receive failed or the daemon closed without a reply */
#define VRELL_CLIENT_ETIMEOUT (-4) /* no reply within the time-out */
#define VRELL_CLIENT_EARG (-5)     /* a bad argument (no path, path too long, request too long) */
#define VRELL_CLIENT_EPEER (-6)    /* the socket is served by another uid than the expected one */

/* The expected_uid that accepts a server of any uid. */
#define VRELL_CLIENT_ANY_UID ((uid_t)-1)

/* Sends request (the text; the NUL is added) to the daemon at socket_path and waits at most
 * timeout_ms milliseconds (0: no bound) for the connect and for the reply. On success
 * copies the reply text without its NUL into reply (reply_size bytes, always terminated) and
 * returns the reply's leading decimal result code (0 when the reply has none); on failure
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

/* Returns a short text for a negative code of vrell_client_request. Never null. */
const char *vrell_client_strerror(int code);

#ifdef __cplusplus
}
#endif

#endif /* VRELL_CLIENT_CLIENT_H_ */
