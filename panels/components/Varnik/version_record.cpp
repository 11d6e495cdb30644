// Version record of the plug-in for ELF platforms, where there is no version
// resource: a section of NUL-separated "key=value" texts that standard tools
// print, for example `readelf -p .vesk_version Varnik.so`.
// On Windows the same fields come from Varnik.rc.
#if !defined(_WIN32)
__attribute__((used, section(".vesk_version"))) static const char varnikVersionRecord[] =
    "FileVersion=1.0.0.1\0"
    "ProductVersion=1.0.0.1\0"
    "InternalName=Varnik\0"
    "OriginalFilename=Varnik\0"
    "FileDescription=Tally panel: writes a tally value from a GPI or info-driver source\0";
#endif
