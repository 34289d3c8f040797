# tessaro_dll_probe_copy(<program>) makes <program>-dll-probe: the program built again from the
# same sources and libraries, with tests/windows/dll_probe_win.cpp added, which loads a DLL by name
# when the program ends. tests/windows/dll_search_win_test.cpp runs it to see where the program
# looks for DLLs once its start-up code has run. Call it in the program's own folder: source
# properties, such as those of the resource scripts, hold only there.
function(tessaro_dll_probe_copy program)
  get_target_property(sources ${program} SOURCES)
  get_target_property(libraries ${program} LINK_LIBRARIES)
  get_target_property(windowed ${program} WIN32_EXECUTABLE)
  set(copy ${program}-dll-probe)
  add_executable(${copy} EXCLUDE_FROM_ALL ${sources}
    ${PROJECT_SOURCE_DIR}/tests/windows/dll_probe_win.cpp)
  target_link_libraries(${copy} PRIVATE ${libraries})
  if(windowed)
    set_target_properties(${copy} PROPERTIES WIN32_EXECUTABLE TRUE)
  endif()
endfunction()
