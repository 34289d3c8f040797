# Delay-import libraries for the DLLs that the Windows loader does not know (those that are not
# KnownDLLs). The loader looks for such a DLL beside the program first, so one planted in the
# program's folder would load into the service (SYSTEM) or the elevated tool when the program
# starts. Imported late, the DLL is loaded only by the first call into it, through LoadLibrary,
# after main has restricted the search for DLLs to the system folder
# (os::restrict_dll_search_to_system_folder).
#
# tessaro_delay_import(<name>) makes the target delay_<name>: a delay-import library for <name>.dll
# with every function that the toolchain's import library lib<name>.a names. Link it in place of
# <name>; tests/windows/imports_check.cmake fails the build's tests when a program still imports
# a DLL of this kind at load time.
function(tessaro_delay_import name)
  find_library(TESSARO_IMPORT_LIB_${name} NAMES lib${name}.a REQUIRED)
  set(import_lib ${TESSARO_IMPORT_LIB_${name}})
  set(dir ${CMAKE_BINARY_DIR}/delay-import)
  set(def ${dir}/${name}.def)
  set(lib ${dir}/lib${name}-delay.a)
  set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${import_lib})

  # The import library's members each name one function as __imp_<function>.
  execute_process(COMMAND ${CMAKE_NM} ${import_lib} OUTPUT_VARIABLE symbols
    COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX MATCHALL " I __imp_[^\n]+" imports "${symbols}")
  list(TRANSFORM imports REPLACE " I __imp_" "  ")
  list(REMOVE_DUPLICATES imports)
  list(SORT imports)
  list(JOIN imports "\n" exports)
  file(MAKE_DIRECTORY ${dir})
  file(WRITE ${def} "LIBRARY ${name}.dll\nEXPORTS\n${exports}\n")
  execute_process(COMMAND ${CMAKE_DLLTOOL} --input-def ${def} --dllname ${name}.dll
    --output-delaylib ${lib} COMMAND_ERROR_IS_FATAL ANY)

  add_library(delay_${name} STATIC IMPORTED GLOBAL)
  set_target_properties(delay_${name} PROPERTIES IMPORTED_LOCATION ${lib})
endfunction()
