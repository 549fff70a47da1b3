/*
 * txlib configuration file reader (plain C).
 *
 * A configuration file is made of sections:
 *
 *     # comment (only at the start of a line)
 *     [Main]
 *     Timeout = 30
 *     Name = "a value with blanks"
 *
 * White space outside double quotes is removed from every line, so a value
 * that must keep blanks is quoted. A header "[X..." selects the first task
 * whose name X begins with (case-insensitive); "]" is optional. A variable
 * line is NAME, anything, the separator, VALUE; NAME is made of the letters
 * a-z A-Z, "_" and "." (digits end it), at most 255 characters.
 *
 * Usage: describe the wanted sections in a task list (ended by a task whose
 * name is NULL); each task's reader usually calls read_section with a table
 * of variable descriptors (ended by a descriptor whose type is 0). Call
 * read_conf; on success the variables hold the file's values (or their
 * defaults) and the sections stay loaded until free_conf calls their
 * release functions. A failed read_conf leaves nothing loaded and nothing
 * allocated.
 *
 * Messages go through txc_log_message; open the log (txc_log_open) to see
 * them.
 */
#ifndef TXLIB_TXC_CONF_H_
#define TXLIB_TXC_CONF_H_

#include <stdint.h>
#include <stdio.h>

#include "txlib/txlib.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Reads the lines of one section from `stream`, which stands at the line
 * after the header; `*line` is the number of the line read next and is
 * advanced for every line consumed. Returns non-zero when the section was
 * read, 0 on failure. */
typedef int (*txc_conf_reader_fn)(FILE *stream, int *line, const char *section, void *data);
/* Releases what the reader stored for the section. */
typedef void (*txc_conf_release_fn)(const char *section, void *data);

typedef struct txc_conf_task {
  const char *name;            /* section name; NULL ends the task list */
  void *data;                  /* handed unchanged to reader and release */
  txc_conf_reader_fn reader;   /* must not be NULL */
  txc_conf_release_fn release; /* may be NULL when there is nothing to release */
  int loaded;                  /* set by read_conf, cleared by free_conf */
  int optional;                /* non-zero: the section may be absent */
} txc_conf_task_t;

/* Variable types. */
#define TXC_CONF_TYPE_END 0     /* ends a descriptor table */
#define TXC_CONF_TYPE_INT 1     /* int32_t, "%d"-style decimal */
#define TXC_CONF_TYPE_UINT 2    /* int32_t, unsigned decimal 0 .. 2147483647 */
#define TXC_CONF_TYPE_BOOL 3    /* int32_t: yes/on/true = 1, no/off/false = 0 */
#define TXC_CONF_TYPE_STRING 4  /* text; see txc_conf_var_t */
#define TXC_CONF_TYPE_OCTAL 5   /* int32_t, octal */
#define TXC_CONF_TYPE_STRLIST 6 /* txc_strlist *, items cut at the list separator */

/* A descriptor's default: `number` for the types INT, UINT, BOOL and OCTAL,
 * `text` (or NULL) for STRING; STRLIST takes no default (`text` NULL).
 * A union so that a text pointer fits on 64-bit platforms; initialise it
 * with TXC_CONF_NUMBER(n), TXC_CONF_TEXT(s) or TXC_CONF_NO_DEFAULT. */
typedef union txc_conf_default {
  int32_t number;
  const char *text;
} txc_conf_default_t;

#define TXC_CONF_NUMBER(n) \
  { .number = (n) }
#define TXC_CONF_TEXT(s) \
  { .text = (s) }
#define TXC_CONF_NO_DEFAULT \
  { .text = NULL }

/* One variable descriptor. `storage` and `length` by type:
 *  - INT, UINT, BOOL, OCTAL: storage points to an int32_t; length must be 4.
 *  - STRING, length 0: storage points to a `char *` variable, which receives
 *    a heap copy of the default (or NULL without one) and then of the value;
 *    the caller releases it with free() (typically in the task's release
 *    function). A later value releases the earlier text.
 *  - STRING, length N > 0: storage IS the caller's char buffer of N bytes
 *    (not a pointer to a pointer). It receives the default, or an empty
 *    text without one, and then the value. A default or a value of N or more
 *    characters fails the section.
 *  - STRLIST: storage points to a `txc_strlist *` variable, which starts as
 *    NULL and receives a new list for a value line (an empty value gives an
 *    empty list); a later line replaces (and releases) the earlier list.
 *    The caller releases it with strlist_free. length is not used. */
typedef struct txc_conf_var {
  const char *name; /* compared without regard to case */
  int type;         /* TXC_CONF_TYPE_*; TXC_CONF_TYPE_END ends the table */
  void *storage;
  int length;
  txc_conf_default_t defval;
} txc_conf_var_t;

/* Reads `filename`, handing each section named in `tasks` to its reader.
 * A section that occurs again is released (release function) and read
 * anew. Returns 0 when the file was read and every non-optional section was
 * loaded; -1 otherwise, after releasing every loaded section (free_conf). */
TXC_API int read_conf(const char *filename, txc_conf_task_t *tasks);

/* Fills the variables of `vars` from the section's lines, up to the next
 * header (the stream is set back to its start) or the end of the file.
 * Variables get their defaults first. Returns 0 on success; -1 on failure,
 * after releasing the texts and lists it stored. A task reader returns
 * non-zero when this returned 0. */
TXC_API int read_section(FILE *stream, int *line, const char *section, const txc_conf_var_t *vars,
                         char separator, char list_separator);

/* Calls the release function of every loaded task and clears its flag; 0. */
TXC_API int free_conf(txc_conf_task_t *tasks);

/* Removes double quotes from `value` and stores it: length 0: a heap copy
 * into *var (its earlier text, NULL or a heap text, is released); length
 * N > 0: copied into the buffer *var points to, if shorter than N.
 * 1 on success, 0 on failure. */
TXC_API int getstring(char *value, char **var, int length);

/* Cuts `value` (in place) at every list separator and stores the pieces,
 * without double quotes and without empty ones, in a new list in *var,
 * which must hold NULL or a list (released and replaced). 1 on success;
 * 0 on failure, *var is then NULL. */
TXC_API int getstringlist(char *value, txc_strlist **var, char list_separator);

/* yes/on/true -> 1, no/off/false -> 0 (case-insensitive, double quotes
 * removed in place). 1 when recognised; 0 otherwise, *result unchanged. */
TXC_API int getbool(char *value, int *result);

/* Non-zero when `c` may serve as a separator: not NUL, a double quote, "#",
 * "_", white space, a letter or a digit. */
TXC_API int valid_separator(char c);

/* Obsolete names: 0 current, 1 warn and go on, 2 stop reading. */
TXC_API int obsolete_section(const char *header);
TXC_API int obsolete_parameter(const char *section, const char *name);

/* Removes, in place, every double-quote character. */
TXC_API void strip_quotes(char *text);

/* Removes, in place, every white-space character outside double quotes. */
TXC_API void strip_spaces(char *text);

#ifdef __cplusplus
}
#endif

#endif /* TXLIB_TXC_CONF_H_ */
