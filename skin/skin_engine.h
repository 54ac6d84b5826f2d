#pragma once
// The skin library's one entry, looked up by name after the library is loaded
// from the program folder.
//
//   bytes, length  a skin file (see skin_format.h); read during the call only
//   emptyText      reserved text, passed as "" (a null pointer is taken as "")
//   reserved1..3   reserved, passed as 0
//
// Applies the skin to the process's QApplication: the Fusion style, a palette
// and a style sheet. Must be called on the application's thread. Returns 1
// when the skin is applied, 0 when it is not (no application, another
// thread, bytes that are not a skin); the application is left as it was then.
#ifdef __cplusplus
extern "C" {
#endif

__attribute__((visibility("default"))) int SkinAttachRes(const unsigned char* bytes, int length,
                                                          const char* emptyText, int reserved1,
                                                          int reserved2, int reserved3);

#ifdef __cplusplus
}
#endif
