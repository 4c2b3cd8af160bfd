// The basic Win32 types, handles and small structures, with their Win32 names: what the
// window-system layer and the retained-mode layer have in common. The calls, messages and
// the larger structures are in platform/win/win32.h.
#pragma once

#include <cstddef>
#include <cstdint>

#define WINAPI
#define CALLBACK
#define APIENTRY
#ifndef FALSE
#define FALSE 0
#endif
#ifndef TRUE
#define TRUE 1
#endif

typedef int BOOL;
typedef unsigned char BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int INT;
typedef unsigned int UINT;
typedef intptr_t INT_PTR;
typedef uintptr_t UINT_PTR;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t DWORD_PTR;
typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef LONG_PTR LRESULT;
typedef WORD ATOM;
typedef DWORD COLORREF;
typedef char CHAR;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef DWORD* LPDWORD;
typedef COLORREF* LPCOLORREF;

#define SOLLUX_DECLARE_HANDLE(name) \
    struct name##__;                \
    typedef name##__* name
SOLLUX_DECLARE_HANDLE(HWND);
SOLLUX_DECLARE_HANDLE(HINSTANCE);
SOLLUX_DECLARE_HANDLE(HMENU);
SOLLUX_DECLARE_HANDLE(HACCEL);
SOLLUX_DECLARE_HANDLE(HICON);
SOLLUX_DECLARE_HANDLE(HDC);
SOLLUX_DECLARE_HANDLE(HFONT);
SOLLUX_DECLARE_HANDLE(HBRUSH);
SOLLUX_DECLARE_HANDLE(HPEN);
SOLLUX_DECLARE_HANDLE(HBITMAP);
SOLLUX_DECLARE_HANDLE(HDROP);
#undef SOLLUX_DECLARE_HANDLE
typedef HICON HCURSOR;
typedef HINSTANCE HMODULE;
typedef void* HGDIOBJ;
typedef void* HANDLE;

typedef LRESULT(CALLBACK* WNDPROC)(HWND, UINT, WPARAM, LPARAM);
typedef INT_PTR(CALLBACK* DLGPROC)(HWND, UINT, WPARAM, LPARAM);
typedef UINT_PTR(CALLBACK* LPOFNHOOKPROC)(HWND, UINT, WPARAM, LPARAM);
typedef UINT_PTR(CALLBACK* LPCCHOOKPROC)(HWND, UINT, WPARAM, LPARAM);

struct POINT {
    LONG x;
    LONG y;
};
struct SIZE {
    LONG cx;
    LONG cy;
};
struct RECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
};
typedef POINT* LPPOINT;
typedef SIZE* LPSIZE;
typedef RECT* LPRECT;
typedef const RECT* LPCRECT;
