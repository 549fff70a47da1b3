/*
 * txlib: client library of the tavrixd virus-scanning daemon.
 *
 * Conventions. This header is plain C and may be included from C or C++.
 * Every call that talks to the daemon returns a library error code: 0 on
 * success, a negative TXC_ERR_* value on failure (txc_lib_strerror gives its
 * text); output pointers are set to NULL (or 0) before anything else is done.
 * A call opens one connection of its own and closes it before it returns;
 * nothing is kept between calls. Objects are opaque and have a create and a
 * release call; every release call accepts NULL. A txc_scanresult and every
 * text that a query returns belong to the caller: release the result with
 * txc_scanresult_free and texts with free(). Texts returned by accessors
 * stay owned by their object. The library never throws and never exits,
 * except when a caller breaks a documented contract (a NULL where none is
 * allowed), which aborts the process with an "ASSERTION" log line.
 */
#ifndef TXLIB_TXLIB_H_
#define TXLIB_TXLIB_H_

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define TXC_API __attribute__((visibility("default")))
#define TXC_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define TXC_API
#define TXC_PRINTF(fmt, args)
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Library version; callers pass TXC_LIB_VERSION (major * 256 + minor) to txc_startup. */
#define TXC_LIB_MAJOR 4
#define TXC_LIB_MINOR 3
#define TXC_LIB_VERSION ((TXC_LIB_MAJOR << 8) | TXC_LIB_MINOR)

/* Library error codes. */
#define TXC_OK 0               /*   0 no errors */
#define TXC_ERR_GENERAL (-1)   /*  -1 general fault */
#define TXC_ERR_TRANSPORT (-2) /*  -2 internal transport subsystem */
#define TXC_ERR_BADFILE (-3)   /*  -3 bad file passed to lib */
#define TXC_ERR_PARAM (-4)     /*  -4 incorrect values of parameters */
#define TXC_ERR_NOTSUPP (-5)   /*  -5 not supported */
#define TXC_ERR_ONCE (-6)      /*  -6 operation that can be performed only once */
#define TXC_ERR_RECV (-7)      /*  -7 recv from daemon (never returned by the API) */
#define TXC_ERR_SEND (-8)      /*  -8 send to daemon (never returned by the API) */
#define TXC_ERR_NOMEM (-9)     /*  -9 no memory for internal use */
#define TXC_ERR_NOTINIT (-10)  /* -10 library is not initialized */
#define TXC_ERR_TIMEOUT (-11)  /* -11 timeout; also start-up without an address list */

/* Scan flags word: sent unchanged to the daemon; the library reads the three lowest bits. */
#define TXC_RETURN_VIRUSES 0x1
#define TXC_RETURN_REPORT 0x2
#define TXC_RETURN_CODES 0x4
#define TXC_HEURISTIC 0x8
#define TXC_FILTER_RULES 0x20
#define TXC_CURE_MAIL 0x1040
#define TXC_MAIL_FORMAT 0x80000

/* Daemon status word flags (0 means all is well). */
#define TXC_STATUS_OK 0x0
#define TXC_STATUS_READ_ERROR 0x1
#define TXC_STATUS_WRITE_ERROR 0x2
#define TXC_STATUS_NO_MEMORY 0x4
#define TXC_STATUS_CRC_ERROR 0x8
#define TXC_STATUS_SOCKET_ERROR 0x10
#define TXC_STATUS_KNOWN_VIRUS 0x20
#define TXC_STATUS_UNKNOWN_VIRUS 0x40
#define TXC_STATUS_VIRUS_MODIFICATION 0x80
#define TXC_STATUS_CURED 0x100
#define TXC_STATUS_TIMED_OUT 0x200
#define TXC_STATUS_SYMLINK 0x400
#define TXC_STATUS_NOT_REGULAR 0x800
#define TXC_STATUS_SKIPPED 0x1000
#define TXC_STATUS_TOO_BIG_EXTRACTED 0x2000
#define TXC_STATUS_COMPRESSION_RATIO 0x4000
#define TXC_STATUS_INVALID_CALL 0x8000
#define TXC_STATUS_FILTER_REJECTED 0x20000
#define TXC_STATUS_ARCHIVE_LEVEL 0x40000

/* Command words of the wire protocol. */
#define TXC_CMD_SCAN 1
#define TXC_CMD_VERSION 2
#define TXC_CMD_BASES 3
#define TXC_CMD_IDSTRING 4
#define TXC_CMD_SCAN_PART 5

/* ---- String list: ordered private copies, optional total-length limit, two-way walk. ---- */
typedef struct txc_strlist txc_strlist;
#define TXC_STRLIST_FORWARD 0u
#define TXC_STRLIST_BACKWARD 1u

/* limit 0: no limit; otherwise the total length of all strings stays below it. */
TXC_API txc_strlist *strlist_create(uint32_t limit);
TXC_API void strlist_free(txc_strlist *list);
/* 1 when added (or skipped as NULL/empty), 0 when refused or out of memory. */
TXC_API int strlist_add(txc_strlist *list, const char *s);
TXC_API int32_t strlist_count(const txc_strlist *list);
TXC_API uint32_t strlist_length(const txc_strlist *list);
/* A new text without separators that the caller frees, or NULL. */
TXC_API char *strlist_join(txc_strlist *list, uint32_t direction);
TXC_API void strlist_rewind(txc_strlist *list, uint32_t direction);
/* The next string of the walk (owned by the list), or NULL at the end. */
TXC_API const char *strlist_next(txc_strlist *list);
TXC_API int strlist_append(txc_strlist *dst, txc_strlist *src, const char *separator);
TXC_API int strlist_contains(const txc_strlist *list, const char *s);

/* ---- Scan result. ---- */
typedef struct txc_scanstat {
  int32_t infected;
  int32_t suspicious;
  int32_t cured;
  int32_t filter_rejected;
  int32_t skipped;
  int32_t archive_restricted;
  int32_t scan_errors;
} txc_scanstat;

typedef struct txc_scanresult txc_scanresult;

TXC_API txc_scanresult *txc_scanresult_create(void);
TXC_API int txc_scanresult_free(txc_scanresult *result);
/* The daemon status word; TXC_STATUS_INVALID_CALL for NULL. */
TXC_API uint32_t txc_scanresult_status(const txc_scanresult *result);
TXC_API int txc_scanresult_set_status(txc_scanresult *result, uint32_t status);
/* Never NULL: a constant text stands in when no report was asked for. */
TXC_API const char *txc_scanresult_report(const txc_scanresult *result);
TXC_API int txc_scanresult_set_report(txc_scanresult *result, const char *text);
/* The virus-name list (NULL unless asked for); walk it with strlist_rewind/strlist_next. */
TXC_API txc_strlist *txc_scanresult_viruses(const txc_scanresult *result);
TXC_API const char *txc_scanresult_quarantine(const txc_scanresult *result);
TXC_API int txc_scanresult_set_quarantine(txc_scanresult *result, const char *name);
TXC_API txc_scanstat *txc_scanresult_stat(txc_scanresult *result);
/* One line per non-zero counter; a new text that the caller frees, or NULL. */
TXC_API char *txc_scanstat_text(const txc_scanstat *stat);
TXC_API const char *txc_lib_strerror(int code);
TXC_API const char *txc_status_strerror(uint32_t status);

/* ---- Logging: target "console" (standard error) or NULL (system log); level 0 is off. ---- */
TXC_API void txc_log_open(const char *target, int max_level, int priority1, int priority2);
TXC_API void txc_log_message(int level, const char *format, ...) TXC_PRINTF(2, 3);

/* ---- Lifecycle and queries. ---- */
/* spec: "default", inet:PORT@HOST, local:/PATH or pid:FILE; timeout in seconds (<= 0: none). */
TXC_API int txc_startup(int version, const char *spec, int timeout_seconds, int resolve);
TXC_API int txc_add_address(const char *spec, int timeout_seconds, int resolve);
TXC_API int txc_cleanup(void);
TXC_API int txc_daemon_version(int *major, int *minor);
/* On success *id is a heap text that the caller frees. */
TXC_API int txc_daemon_id(char **id);
/* On success *bases is a heap text (one line per base) that the caller frees. */
TXC_API int txc_daemon_bases(char **bases, int *total);

/* ---- Scans. On success *result is a new object that the caller frees. ---- */
/* Supplies up to `capacity` (4096) next bytes of the object; returns how many it put there. */
typedef int (*txc_read_fn)(void *buffer, int capacity, void *user_data);

TXC_API int txc_scan_buffer(const void *buffer, int size, int flags, txc_scanresult **result,
                            int report_size);
TXC_API int txc_scan_file(const char *name, int name_len, int local, int flags,
                          txc_scanresult **result, int report_size);
TXC_API int txc_scan_file_part(const char *name, int name_len, int offset, int length, int flags,
                               txc_scanresult **result, int report_size);
TXC_API int txc_scan_callback(txc_read_fn read_fn, void *user_data, const char *name, int name_len,
                              int total, int flags, txc_scanresult **result, int report_size);

#ifdef __cplusplus
}
#endif

#endif /* TXLIB_TXLIB_H_ */
