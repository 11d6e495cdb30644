// vesk_export.h - symbol visibility of the string, list and configuration library.
#ifndef VESK_EXPORT_H
#define VESK_EXPORT_H

#if defined(_WIN32)
#  if defined(VESK_STRING_BUILDING)
#    define VESK_STRING_API __declspec(dllexport)
#  else
#    define VESK_STRING_API __declspec(dllimport)
#  endif
#else
#  define VESK_STRING_API __attribute__((visibility("default")))
#endif

#endif  // VESK_EXPORT_H
