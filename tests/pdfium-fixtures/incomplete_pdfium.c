/* Builds of the PDF library that lack one entry point, to check how the
 * daemon copes with an incomplete library, and (built with no WITHOUT_ define)
 * one with every entry point the daemon resolves, for the Windows build's
 * checks under Wine. Documents never load. */
#include <stddef.h>

#ifdef _WIN32
#define EXPORT __declspec(dllexport)
#else
#define EXPORT __attribute__((visibility("default")))
#endif

EXPORT void FPDF_InitLibrary(void) {}
EXPORT void FPDF_DestroyLibrary(void) {}
EXPORT void* FPDF_LoadDocument(const char* path, const char* password) {
  (void)path;
  (void)password;
  return NULL;
}
EXPORT void FPDF_CloseDocument(void* doc) { (void)doc; }
EXPORT int FPDF_GetPageCount(void* doc) {
  (void)doc;
  return 0;
}
EXPORT void* FPDF_LoadPage(void* doc, int index) {
  (void)doc;
  (void)index;
  return NULL;
}
EXPORT void FPDF_ClosePage(void* page) { (void)page; }
EXPORT double FPDF_GetPageWidth(void* page) {
  (void)page;
  return 0;
}
EXPORT double FPDF_GetPageHeight(void* page) {
  (void)page;
  return 0;
}
EXPORT int FPDFPage_GetMediaBox(void* page, float* l, float* b, float* r, float* t) {
  (void)page, (void)l, (void)b, (void)r, (void)t;
  return 0;
}
EXPORT int FPDFPage_GetCropBox(void* page, float* l, float* b, float* r, float* t) {
  (void)page, (void)l, (void)b, (void)r, (void)t;
  return 0;
}
EXPORT void FPDFPage_SetMediaBox(void* page, float l, float b, float r, float t) {
  (void)page, (void)l, (void)b, (void)r, (void)t;
}
EXPORT void FPDFPage_SetCropBox(void* page, float l, float b, float r, float t) {
  (void)page, (void)l, (void)b, (void)r, (void)t;
}
#ifndef WITHOUT_TRANSFORM
EXPORT int FPDFPage_TransFormWithClip(void* page, const void* matrix, const void* clip) {
  (void)page, (void)matrix, (void)clip;
  return 0;
}
#endif
EXPORT int FPDF_SaveAsCopy(void* doc, void* sink, unsigned long flags) {
  (void)doc, (void)sink, (void)flags;
  return 0;
}
#ifndef WITHOUT_LAST_ERROR
/* A real library would report a format error here; callers must not see it
 * when the export is missing. */
EXPORT unsigned long FPDF_GetLastError(void) { return 3; }
#endif
EXPORT int FPDFPage_GetRotation(void* page) {
  (void)page;
  return 0;
}
EXPORT int FPDF_GetPageBoundingBox(void* page, void* rect) {
  (void)page, (void)rect;
  return 0;
}
