// ductra: one bulk byte pipe to a single instrument attached by USB.
//
// The six exports are plain C functions with unmangled names and the
// platform's C calling convention, so that any caller can bind them by name
// and any library exporting the same six (the virtual instrument, a scripted
// test pipe) can stand in for the real one.
#ifndef DUCTRA_H
#define DUCTRA_H

#include <stdint.h>

#if defined(_WIN32)
#define DUCTRA_CALL __cdecl
// Callers bind the functions through the import library's thunks; only the
// library itself marks them for export.
#if defined(DUCTRA_BUILDING)
#define DUCTRA_API __declspec(dllexport)
#else
#define DUCTRA_API
#endif
#else
#define DUCTRA_CALL
#define DUCTRA_API __attribute__((visibility("default")))
#endif

#define DUCTRA_RESPONSE_SUCCESS 0
#define DUCTRA_RESPONSE_TIMEOUT_OCCUR (-1)
#define DUCTRA_RESPONSE_DEVICE_LIST_FAILED (-2)
#define DUCTRA_RESPONSE_USB_DEVICE_NOT_FOUND (-3)
#define DUCTRA_RESPONSE_NO_USB_ENDPOINTS_FOUND (-4)
#define DUCTRA_RESPONSE_NO_VALID_HANDLER (-5)

#ifdef __cplusplus
extern "C" {
#endif

// Finds the instrument, opens it and picks its bulk pipes: 0, -2, -3 or -4.
DUCTRA_API int32_t DUCTRA_CALL DuctraOpen(void);
// Writes length bytes in one transfer, waiting at most timeout + 200 ms: 0, -1 or -5.
DUCTRA_API int32_t DUCTRA_CALL DuctraSend(uint8_t* buffer, uint32_t length, int32_t timeout);
// Reads what one USB transfer delivers (at most capacity bytes) into buffer,
// waiting at most timeout ms; count is written only on success: 0, -1 or -5.
DUCTRA_API int32_t DUCTRA_CALL DuctraReceive(uint8_t* buffer, int32_t capacity, int32_t timeout,
                                             uint32_t* count);
// Releases the device; always 0, also when nothing was open.
DUCTRA_API int32_t DUCTRA_CALL DuctraClose(void);
// Prints "DuctraVersion: 1104\r\n" whatever the quiet switch holds; returns 1100.
DUCTRA_API int32_t DUCTRA_CALL DuctraVersion(void);
// Stores the low 8 bits of quiet: nonzero silences the library's messages. Returns 0.
DUCTRA_API int32_t DUCTRA_CALL DuctraChatty(int32_t quiet);

#ifdef __cplusplus
}
#endif

#endif
