/* The seam between the two halves of the in-process winscard.dll.
 *
 * The Windows half (winscard.cpp, card_database.cpp) is compiled against
 * Wine's headers, the pcsc-lite half (pcsc_lite_calls.cpp) against
 * pcsc-lite's: the two winscard.h cannot meet in one file, and DWORD and LONG
 * are 8 bytes in pcsc-lite on 64-bit Linux but 4 in Windows. Only fixed-width
 * types cross this line. Results are PC/SC codes cut to Windows' 32 bits;
 * states, protocols and card states are already in Windows' terms.
 *
 * Hidden: nothing here may leave the library, and pcsc-lite's own exports
 * (SCardEstablishContext, ...) must never bind to one of ours. */
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define LITE_API __attribute__((visibility("hidden")))

/* Windows' ATR field; pcsc-lite's holds 33 bytes. */
#define LITE_ATR_SIZE 36
/* pcsc-lite keeps reader names in 128-byte fields: room to spare. */
#define LITE_READER_NAME_SIZE 256

typedef struct LiteReaderState {
    const char* reader;    /* UTF-8 */
    uint32_t currentState; /* event counter in the high word, flags in the low word */
    uint32_t eventState;
    uint32_t atrLength;
    uint8_t atr[LITE_ATR_SIZE];
} LiteReaderState;

typedef struct LiteCardStatus {
    char reader[LITE_READER_NAME_SIZE]; /* UTF-8, NUL-terminated */
    uint32_t state;                     /* Windows' value 0-6 */
    uint32_t protocol;                  /* Windows' protocol bits */
    uint32_t atrLength;
    uint8_t atr[LITE_ATR_SIZE];
} LiteCardStatus;

LITE_API int32_t LiteEstablishContext(uint32_t scope, uint64_t* context);
LITE_API int32_t LiteReleaseContext(uint64_t context);
LITE_API int32_t LiteIsValidContext(uint64_t context);
LITE_API int32_t LiteCancel(uint64_t context);
/* A UTF-8 multi-string that pcsc-lite allocated: give it back with LiteFreeMemory. */
LITE_API int32_t LiteListReaders(uint64_t context, const char* groups, char** readers, uint32_t* length);
LITE_API void LiteFreeMemory(uint64_t context, void* memory);
LITE_API int32_t LiteGetStatusChange(uint64_t context, uint32_t timeout, LiteReaderState* states, uint32_t count);
LITE_API int32_t LiteConnect(uint64_t context, const char* reader, uint32_t share, uint32_t protocols, uint64_t* card,
                             uint32_t* activeProtocol);
LITE_API int32_t LiteDisconnect(uint64_t card, uint32_t disposition);
LITE_API int32_t LiteStatus(uint64_t card, LiteCardStatus* status);
LITE_API int32_t LiteBeginTransaction(uint64_t card);
LITE_API int32_t LiteEndTransaction(uint64_t card, uint32_t disposition);
/* `protocol` is Windows' protocol of the send PCI; *responseLength is the room in, the length out. */
LITE_API int32_t LiteTransmit(uint64_t card, uint32_t protocol, const uint8_t* command, uint32_t commandLength,
                              uint8_t* response, uint32_t* responseLength);

#ifdef __cplusplus
}
#endif
