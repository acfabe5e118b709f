// Under the sanitizer build: umockdev-wrapper preloads umockdev before the
// sanitizer runtime, and GLib, GObject and umockdev keep some allocations for
// the life of the process. Both hooks are read only when a sanitizer is
// linked in.

extern "C" const char* __asan_default_options() {
    return "verify_asan_link_order=0";
}

extern "C" const char* __lsan_default_suppressions() {
    return "leak:libglib-2.0.so\n"
           "leak:libgobject-2.0.so\n"
           "leak:libumockdev\n";
}
