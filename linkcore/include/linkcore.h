/*
 * linkcore: a callback-driven TCP service, worker pools and logon helpers.
 *
 * A host sees connections only as ids: 32-bit numbers issued from 1 in the
 * order in which connections are created (accepted or outgoing alike),
 * carried as 64-bit values whose upper half is 0. Functions that take an id
 * use its low 32 bits and return 0 when the id is not live.
 *
 * Calling order: KRL_NetInit once; then KRL_NetListen and/or KRL_NetConnect;
 * then KRL_NetSend, KRL_NetDisConnect, KRL_NetGetAddr, KRL_NetIsValidHandler,
 * KRL_NetDump and KRL_NetUnListen from any thread; KRL_NetFini once, from a
 * thread that is not inside a callback. KRL_NetWaitFini returns once
 * KRL_NetFini has finished. After a shutdown the library cannot be started
 * again in the same process.
 *
 * Callback contract:
 *  - The open event of an accepted connection comes on an I/O thread before
 *    its first data callback; that of an outgoing connection comes on the
 *    thread inside KRL_NetConnect, before the id is returned.
 *  - A data callback receives a pointer into the connection's own receive
 *    buffer, valid only until the callback returns, and 1 to 8188 bytes; the
 *    byte after them is 0. One connection's data callbacks never overlap and
 *    come in stream order.
 *  - The close event comes exactly once per opened id, after the id has left
 *    the table of live connections, on the thread that began the close (an
 *    I/O thread, or the caller of KRL_NetDisConnect, KRL_NetSend,
 *    KRL_NetConnect or KRL_NetFini). A data callback may still be running
 *    on another thread.
 *  - The sent callback comes on an I/O thread once a send has been written
 *    completely, in the order of the sends.
 *  - A drain callback (KRL_NetNotifyDrained) comes on an I/O thread while
 *    it serves the connection, so it never overlaps one of the
 *    connection's data callbacks.
 *  - No library lock is held while a callback runs. A callback may call any
 *    function here except KRL_NetFini.
 */
#ifndef LINKCORE_LINKCORE_H_
#define LINKCORE_LINKCORE_H_

#include <stdint.h>

#if defined(LINKCORE_BUILDING)
#define KRL_API __attribute__((visibility("default")))
#else
#define KRL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Callbacks ---------------------------------------------------------- */

/* Bytes arrived on connection id. */
typedef void (*NetDataCallback)(uint64_t id, const char* data, int length);
/* Connection id opened (opened = 1) or closed (opened = 0). */
typedef void (*NetEventCallback)(uint64_t id, int opened);
/* One send on id was written out completely; data is the library's copy. */
typedef void (*NetSentCallback)(uint64_t id, const char* data, int length);
/* The output queued on id has fallen to the mark given to
 * KRL_NetNotifyDrained. */
typedef void (*NetDrainCallback)(uint64_t id);

/* ---- Network ------------------------------------------------------------ */

/* Starts threadCount I/O threads and the sweeper. Returns 1; a second call
 * changes nothing. threadCount <= 0 starts no I/O thread. Thread safe. */
KRL_API int KRL_NetInit(int threadCount);
/* Closes every listener and connection, waits until every connection object
 * is destroyed and every library thread has ended, then releases one
 * KRL_NetWaitFini. Does nothing before init or once a shutdown has begun.
 * Must not be called from a callback. */
KRL_API void KRL_NetFini(void);
/* Returns 1 at once before init; otherwise blocks until KRL_NetFini has
 * finished. Releases exactly one waiter. */
KRL_API int KRL_NetWaitFini(void);
/* Bounds the connections listeners keep: a connection accepted while
 * maxConnections connections are open (built and not yet destroyed), or
 * on a descriptor within reservedDescriptors of the process's descriptor
 * limit, is closed at once, so that the host keeps descriptors for its own
 * work. 0 for either turns that bound off (the default). Each episode of
 * refusals is logged once, and so is its end. Returns 1. Thread safe. */
KRL_API int KRL_NetSetLimits(int maxConnections, int reservedDescriptors);

/* Listens on 0.0.0.0:port; connections accepted there use the callbacks.
 * Returns 1, or 0 when not running, the port is already in the table, or
 * the socket cannot be opened (the port then stays in the table until
 * KRL_NetUnListen). Thread safe. */
KRL_API int KRL_NetListen(int port, NetDataCallback onData,
                          NetEventCallback onEvent, NetSentCallback onSent);
/* As KRL_NetListen, on one local IPv4 address: dotted ("127.0.0.1") or a
 * host name, resolved when called. A null or empty address listens on all
 * addresses, as KRL_NetListen does. The listen table stays keyed by port.
 * Returns 1, or 0 as KRL_NetListen, and 0 with nothing entered in the table
 * when the address cannot be resolved. Thread safe. */
KRL_API int KRL_NetListenAt(const char* address, int port,
                            NetDataCallback onData, NetEventCallback onEvent,
                            NetSentCallback onSent);
/* ---- Encrypted connections (TLS) ---------------------------------------
 * A TLS connection behaves for its host exactly as a plain one: the same
 * ids, callbacks and threads, the same order of data, the same pause for
 * queued output, holds, drain calls and close; the host sees only its own
 * bytes, and KRL_NetQueuedOutput counts encrypted ones. TLS 1.2 at least,
 * 1.3 preferred (AES-128-GCM first); for 1.2 only ECDHE suites with
 * AES-GCM or ChaCha20;
 * no renegotiation, no compression. Servers cache sessions and issue
 * tickets, so clients can resume. */

/* As KRL_NetListenAt, for TLS: certFile holds the server's certificate
 * chain and keyFile its private key (PEM). clientCaFile, when not null or
 * empty, names the authorities (PEM) whose certificates clients must
 * present: a client without one is refused in the handshake. An accepted
 * connection's open event comes at once, its first data callback after the
 * handshake. A handshake that fails, or that has not finished within the
 * handshake timeout, is logged once with the peer's address and the
 * connection is closed (close event on the I/O thread, or on the
 * library's sweeper thread for a timeout). Returns 1, or 0 as
 * KRL_NetListenAt, and 0 with nothing entered in the table (errno EINVAL,
 * logged) when the certificate, key or authorities cannot be used.
 * Thread safe. */
KRL_API int KRL_NetListenTls(const char* address, int port,
                             const char* certFile, const char* keyFile,
                             const char* clientCaFile, NetDataCallback onData,
                             NetEventCallback onEvent, NetSentCallback onSent);
/* As KRL_NetConnect, for TLS: connects and completes the handshake on the
 * calling thread, within 10 s in all. The server's certificate must chain
 * to caFile (PEM; null or empty: the system's store) and name serverName
 * (null or empty: host), as a DNS name or, for a dotted address, an IP
 * address. certFile and keyFile (both or neither) are presented when the
 * server asks for a client certificate. Returns the id after its open
 * event, or 0 (logged) when the connection or the handshake fails; a
 * server that refuses the client's certificate after a TLS 1.3 handshake
 * closes the connection, and its close event follows. Thread safe. */
KRL_API uint64_t KRL_NetConnectTls(const char* host, int port,
                                   const char* serverName, const char* caFile,
                                   const char* certFile, const char* keyFile,
                                   NetDataCallback onData,
                                   NetEventCallback onEvent,
                                   NetSentCallback onSent);
/* The time an accepted TLS connection has to finish its handshake, in
 * milliseconds (default 10000), for connections accepted from now on.
 * Checked every 200 ms. Returns 1, or 0 for a value <= 0 (no change).
 * Thread safe. */
KRL_API int KRL_NetSetHandshakeTimeout(int milliseconds);

/* Stops listening on port; accepted connections go on. 1, or 0 when the
 * port is not in the table. Thread safe. */
KRL_API int KRL_NetUnListen(int port);
/* Connects to host:port (name or dotted address) synchronously, waiting at
 * most 10 s. Returns the new id after its open event, or 0: no connection,
 * or one that a shutdown begun meanwhile has closed again (after its open
 * and close events). Thread safe. */
KRL_API uint64_t KRL_NetConnect(const char* host, int port,
                                NetDataCallback onData,
                                NetEventCallback onEvent,
                                NetSentCallback onSent);

/* Copies length bytes and queues them for sending on id; the caller may
 * reuse its buffer at once. Null data or length <= 0 sends nothing. While
 * more than 8 MiB of a connection's output waits to be written, the library
 * stops reading from that connection, until less than 1 MiB waits. 1 when
 * id is live, else 0. Thread safe. */
KRL_API int KRL_NetSend(uint64_t id, const void* data, int length);
/* Holds (hold != 0) or releases (hold == 0) the reading of id on the
 * host's behalf: while held, nothing is read from the connection and no
 * data callback starts (one already running finishes). Independent of the
 * pause for queued output: the connection is read only when neither
 * applies. A peer's close is noticed once the hold is released; a
 * disconnect or a shutdown closes a held connection as any other. 1 when
 * id is live, else 0. Thread safe. */
KRL_API int KRL_NetHoldInput(uint64_t id, int hold);
/* Bytes of id's output queued and not yet written to its socket, or -1
 * when id is not live. Thread safe. */
KRL_API int64_t KRL_NetQueuedOutput(uint64_t id);
/* Asks for onDrained(id) once, on an I/O thread serving id, as soon as
 * no more than lowMark bytes of its output remain queued. Returns 1 when
 * armed (replacing an earlier request on id), 2 when no more than lowMark
 * bytes are queued now (nothing is armed and no call comes), 0 when id is
 * not live. A connection that closes first gets its close event and no
 * drain call. Thread safe. */
KRL_API int KRL_NetNotifyDrained(uint64_t id, int64_t lowMark,
                                 NetDrainCallback onDrained);
/* Closes id at once; its close event is delivered on the calling thread
 * before this returns. 1 when id was live, else 0. Thread safe. */
KRL_API int KRL_NetDisConnect(uint64_t id);
/* 1 when id is live, else 0. Thread safe. */
KRL_API int KRL_NetIsValidHandler(uint64_t id);
/* Writes "a.b.c.d:port" of the remote (which != 0) or local (which == 0)
 * address into buf, for accepted and outgoing connections alike; leaves it
 * empty when size is smaller than the dotted address plus 7. 1 when id is
 * live (buf set, unless size <= 0), else 0 (buf untouched). Thread safe. */
KRL_API int KRL_NetGetAddr(uint64_t id, int which, char* buf, int size);
/* Writes the status text into buf (at most size - 1 characters and a NUL)
 * and returns buf. Thread safe. */
KRL_API char* KRL_NetDump(char* buf, int size);

/* ---- Worker pools ------------------------------------------------------- */

/* An opaque pool of either kind. */
typedef struct KRL_Pool KRL_Pool;
/* Called on a worker thread with the pool, the library's copy of the
 * message bytes (null when none), their length and the producer's param.
 * The bytes are freed when the callback returns. */
typedef void (*TaskCallback)(KRL_Pool* pool, const char* data,
                             unsigned int length, uint64_t param);

/* Pool on a message queue: producers block while the queue is full (it
 * holds at least max(queueSize, 683) messages); destroying it runs the
 * queued messages first. Null on failure or a negative threadCount. */
KRL_API KRL_Pool* KRL_ATaskCreate(int threadCount, int queueSize,
                                  TaskCallback callback);
/* Copies the bytes and queues them (a null pointer or a length <= 0 sends
 * a message without bytes). Returns the number of queued messages after
 * the put, or -1 when the queue refused the message, the bytes could not
 * be copied, or pool is not a pool of this kind. Thread safe. */
KRL_API int KRL_ATaskPutmsg(KRL_Pool* pool, const void* data, int length,
                            uint64_t param);
/* Pool on max(queueSize + 1024, 2048) preallocated records, handing each
 * message to the most recently idle worker; producers wait while fewer
 * than 1024 records are free. Destroying it drops (and frees) the messages
 * still queued. Null on failure or a negative threadCount. */
KRL_API KRL_Pool* KRL_TaskCreate(int threadCount, int queueSize,
                                 TaskCallback callback);
/* Copies the bytes and hands them over. 1 when given straight to an idle
 * worker, 0 when queued, -1 when the bytes could not be copied or pool is
 * not a pool of this kind. Thread safe. */
KRL_API int KRL_TaskPutmsg(KRL_Pool* pool, const void* data, int length,
                           uint64_t param);
/* Destroy a pool of either kind (both names are one function). Null is
 * ignored. Called from the pool's own callback it is refused (logged). */
KRL_API void KRL_TaskDestroy(KRL_Pool* pool);
KRL_API void KRL_ATaskDestroy(KRL_Pool* pool);

/* ---- Logon -------------------------------------------------------------- */

/* Authenticates the service account with the stored, enciphered password
 * and makes the calling thread act as that account. On success stores an
 * opaque token in *token (the caller owns it) and returns 0; returns -1
 * when the stored value cannot be read, -2 when it cannot be deciphered,
 * otherwise the error code of the failing step: a PAM code when the
 * account's logon is refused, an errno code when the thread cannot switch
 * identity (EINVAL for a null token). Other threads keep their identity. */
KRL_API int KRL_LocalLogin(void** token);
/* Ends the impersonation that token stands for on the calling thread and
 * releases the token. 0 on success, else an errno code and the token stays
 * valid (EINVAL on a thread other than the one that logged on). */
KRL_API int KRL_RevertLogin(void* token);
/* Connects the share remoteName (\\server\share) with the given user and
 * password. 0 on success; otherwise an errno code, with its text written
 * into message (at most messageSize bytes, NUL included). */
KRL_API int KRL_RemoteLogin(const char* remoteName, const char* userName,
                            const char* password, char* message,
                            unsigned int messageSize);

#ifdef __cplusplus
}
#endif

#endif /* LINKCORE_LINKCORE_H_ */
