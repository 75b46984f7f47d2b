# cmake -DFILE=<ELF file> -P remove_rpath.cmake: removes the file's RPATH/RUNPATH, if any.
file(RPATH_REMOVE FILE "${FILE}")
