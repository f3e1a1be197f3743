/* Request and reply records exchanged with requesters through the broker.
 * Fixed byte layouts (x86-64, little-endian); texts are NUL-terminated inside their field. */
#ifndef TOLVANE_DEFINES_H
#define TOLVANE_DEFINES_H

#include <stddef.h>
#include <stdint.h>

/* Head of a request body; `count` MSG_SEND records follow it. */
typedef struct MSG_HEAD {
    char guid[50]; /* request identifier, echoed in the reply */
    /* 2 bytes of padding */
    int32_t count;     /* number of call records */
    char platform[50]; /* reply exchange, and its routing key */
    /* 2 bytes of padding */
} T_MSG_HEAD;

/* One call record; library and function are named inside szParam ("comtype", "nfunc"). */
typedef struct MSG_SEND {
    char szParam[4000];  /* CR LF separated key=value lines */
    char szDllName[32];  /* carried, not used */
    char szFunction[32]; /* carried, not used */
} T_MSG_SEND;

/* Reply body. */
typedef struct RESULT {
    char guid[50];
    char strResult[1024];
} T_RESULT;

#ifdef __cplusplus
#define TOLVANE_STATIC_ASSERT static_assert
#else
#define TOLVANE_STATIC_ASSERT _Static_assert
#endif
/* Checked through the typedefs, which name the records in C as well as in C++. */
TOLVANE_STATIC_ASSERT(sizeof(T_MSG_HEAD) == 108, "MSG_HEAD is 108 bytes");
TOLVANE_STATIC_ASSERT(offsetof(T_MSG_HEAD, guid) == 0, "guid at 0");
TOLVANE_STATIC_ASSERT(offsetof(T_MSG_HEAD, count) == 52, "count at 52");
TOLVANE_STATIC_ASSERT(offsetof(T_MSG_HEAD, platform) == 56, "platform at 56");
TOLVANE_STATIC_ASSERT(sizeof(T_MSG_SEND) == 4064, "MSG_SEND is 4064 bytes");
TOLVANE_STATIC_ASSERT(offsetof(T_MSG_SEND, szParam) == 0, "szParam at 0");
TOLVANE_STATIC_ASSERT(offsetof(T_MSG_SEND, szDllName) == 4000, "szDllName at 4000");
TOLVANE_STATIC_ASSERT(offsetof(T_MSG_SEND, szFunction) == 4032, "szFunction at 4032");
TOLVANE_STATIC_ASSERT(sizeof(T_RESULT) == 1074, "RESULT is 1074 bytes");
TOLVANE_STATIC_ASSERT(offsetof(T_RESULT, guid) == 0, "guid at 0");
TOLVANE_STATIC_ASSERT(offsetof(T_RESULT, strResult) == 50, "strResult at 50");
#undef TOLVANE_STATIC_ASSERT

#endif
