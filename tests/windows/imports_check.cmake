# Every DLL that the programs import at load time must be one that the Windows loader knows
# (KnownDLLs), which it always takes from the system folder. Any other DLL is imported late
# (cmake/delay-import.cmake), so that it loads only after the program has restricted the DLL
# search to the system folder; an import of such a DLL at load time would be looked for beside
# the program first.
#
# cmake -DOBJDUMP=<objdump> -DPROGRAMS=<exe;exe> -P imports_check.cmake
cmake_minimum_required(VERSION 3.25)
set(known_dlls advapi32.dll clbcatq.dll combase.dll comdlg32.dll coml2.dll difxapi.dll gdi32.dll
  gdiplus.dll imagehlp.dll imm32.dll kernel32.dll msctf.dll msvcrt.dll normaliz.dll nsi.dll
  ole32.dll oleaut32.dll psapi.dll rpcrt4.dll sechost.dll setupapi.dll shcore.dll shell32.dll
  shlwapi.dll user32.dll wldap32.dll ws2_32.dll)
set(failed FALSE)
foreach(program IN LISTS PROGRAMS)
  execute_process(COMMAND ${OBJDUMP} -p ${program} OUTPUT_VARIABLE headers
    COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${headers}")
  foreach(import IN LISTS imports)
    string(REPLACE "DLL Name: " "" dll "${import}")
    string(STRIP "${dll}" dll)
    string(TOLOWER "${dll}" dll)
    if(NOT dll IN_LIST known_dlls)
      message(SEND_ERROR "${program} imports ${dll} at load time, which the loader does not know")
      set(failed TRUE)
    endif()
  endforeach()
  list(LENGTH imports count)
  message(STATUS "${program}: ${count} DLLs imported at load time")
endforeach()
if(failed)
  message(FATAL_ERROR "Import them late: tessaro_delay_import() in the top CMakeLists.txt")
endif()
