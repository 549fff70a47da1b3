/*
 * txlib configuration file reader (plain C).
 */
#ifndef TXLIB_TXC_CONF_H_
#define TXLIB_TXC_CONF_H_

#include "txlib/txlib.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Removes, in place, every white-space character outside double quotes. */
TXC_API void strip_spaces(char *text);

#ifdef __cplusplus
}
#endif

#endif /* TXLIB_TXC_CONF_H_ */
