// A loadable library that is not a device plug-in: it has no get_providers.
extern "C" __attribute__((visibility("default"))) int vadid_e2e_not_a_plugin() { return 0; }
