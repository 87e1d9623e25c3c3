#pragma once
// The C interface of the PDF library as the daemon calls it: the opaque
// handles, the structures passed across and one function type per entry
// point. Shared by the daemon's table and by our own Linux implementation of
// the library, so both sides agree on every signature.
#include <cstdint>

#if defined(_WIN32) && !defined(_WIN64)
#define TB_FPDF_CALLCONV __stdcall
#else
#define TB_FPDF_CALLCONV
#endif

extern "C" {

typedef struct fpdf_document_t__* FPDF_DOCUMENT;
typedef struct fpdf_page_t__* FPDF_PAGE;
typedef int FPDF_BOOL;
typedef const char* FPDF_STRING;
typedef const char* FPDF_BYTESTRING;
typedef unsigned long FPDF_DWORD;

// Output sink for saving: the library calls WriteBlock for every piece of the
// file; a zero result aborts the save.
typedef struct FPDF_FILEWRITE_ {
  int version;
  int (*WriteBlock)(struct FPDF_FILEWRITE_* pThis, const void* pData, unsigned long size);
} FPDF_FILEWRITE;

// Affine matrix: x' = a*x + c*y + e, y' = b*x + d*y + f.
typedef struct _FS_MATRIX_ {
  float a;
  float b;
  float c;
  float d;
  float e;
  float f;
} FS_MATRIX;

typedef struct _FS_RECTF_ {
  float left;
  float top;
  float right;
  float bottom;
} FS_RECTF;

}  // extern "C"

namespace tb::pdffit::abi {

inline constexpr FPDF_DWORD kErrSuccess = 0;
inline constexpr FPDF_DWORD kErrUnknown = 1;
inline constexpr FPDF_DWORD kErrFile = 2;
inline constexpr FPDF_DWORD kErrFormat = 3;
inline constexpr FPDF_DWORD kErrPassword = 4;
inline constexpr FPDF_DWORD kErrSecurity = 5;
inline constexpr FPDF_DWORD kErrPage = 6;

inline constexpr FPDF_DWORD kIncremental = 1;
inline constexpr FPDF_DWORD kNoIncremental = 2;
inline constexpr FPDF_DWORD kRemoveSecurity = 3;

extern "C" {
typedef void(TB_FPDF_CALLCONV* InitLibraryFn)();
typedef void(TB_FPDF_CALLCONV* DestroyLibraryFn)();
typedef FPDF_DOCUMENT(TB_FPDF_CALLCONV* LoadDocumentFn)(FPDF_STRING file_path,
                                                        FPDF_BYTESTRING password);
typedef void(TB_FPDF_CALLCONV* CloseDocumentFn)(FPDF_DOCUMENT document);
typedef int(TB_FPDF_CALLCONV* GetPageCountFn)(FPDF_DOCUMENT document);
typedef FPDF_PAGE(TB_FPDF_CALLCONV* LoadPageFn)(FPDF_DOCUMENT document, int page_index);
typedef void(TB_FPDF_CALLCONV* ClosePageFn)(FPDF_PAGE page);
typedef double(TB_FPDF_CALLCONV* GetPageWidthFn)(FPDF_PAGE page);
typedef double(TB_FPDF_CALLCONV* GetPageHeightFn)(FPDF_PAGE page);
typedef FPDF_BOOL(TB_FPDF_CALLCONV* GetBoxFn)(FPDF_PAGE page, float* left, float* bottom,
                                              float* right, float* top);
typedef void(TB_FPDF_CALLCONV* SetBoxFn)(FPDF_PAGE page, float left, float bottom, float right,
                                         float top);
typedef FPDF_BOOL(TB_FPDF_CALLCONV* TransFormWithClipFn)(FPDF_PAGE page, const FS_MATRIX* matrix,
                                                         const FS_RECTF* clipRect);
typedef FPDF_BOOL(TB_FPDF_CALLCONV* SaveAsCopyFn)(FPDF_DOCUMENT document,
                                                  FPDF_FILEWRITE* pFileWrite, FPDF_DWORD flags);
typedef unsigned long(TB_FPDF_CALLCONV* GetLastErrorFn)();
// Quarter turns clockwise the page is shown with (0 to 3), -1 on error.
typedef int(TB_FPDF_CALLCONV* GetRotationFn)(FPDF_PAGE page);
// The area the page shows: its crop box within its media box, both as the
// page tree gives them, in the page's own (unturned) coordinates.
typedef FPDF_BOOL(TB_FPDF_CALLCONV* GetPageBoundingBoxFn)(FPDF_PAGE page, FS_RECTF* rect);
}

}  // namespace tb::pdffit::abi
