// A shared library without the factory symbol, for the host's load checks.
extern "C" __attribute__((visibility("default"))) int not_a_script_factory() { return 0; }
