// The signature that marks which version of the script framework is built
// into a plug-in. No code reads it; it is kept in the initialised data so
// that tools inspecting the module find it (`strings Varnik.so | grep VESK_SIG`).
// On Windows the linker groups ".data$name" into .data; elsewhere ".data.name" is.
#if defined(_WIN32)
#define VESK_SIGNATURE_SECTION ".data$vesk_signature"
#else
#define VESK_SIGNATURE_SECTION ".data.vesk_signature"
#endif
extern "C" {
extern const char vesk_script_helper_signature[];
__attribute__((used, section(VESK_SIGNATURE_SECTION))) const char vesk_script_helper_signature[] =
    "VESK_SIG,name=vesk_script_helper,type=LIB,version=4.8.6.0,date=16/06/2017,"
    "author=Varnik maintainers";
}
