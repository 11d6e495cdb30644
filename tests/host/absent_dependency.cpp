// A DLL that the module needs_absent imports, built into a folder of its own
// where no loader looks: loading the module fails for want of it.
extern "C" __declspec(dllexport) int vesk_absent_value() { return 1; }
