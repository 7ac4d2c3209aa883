// The shared library is the static core and one converter back end linked
// whole; the export list decides what is visible. Nothing lives here but the
// translation unit the linker needs to make a library of them.
