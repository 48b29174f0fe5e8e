# Windows: the DLLs the programs need at run time, copied beside them into
# bin/ (where Wine runs the tests, and from where the package is made): the
# MinGW runtime and Qt with its platform and style plugins. PCANBasic.dll is
# not among them: on the technician's PC the adapter maker's driver package
# installs it; the stand-in in bin/ is for the tests and the demo only.
set(tavelin_runtime_dlls)
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                  OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
    message(FATAL_ERROR "the MinGW runtime ${dll} was not found (${path})")
  endif()
  list(APPEND tavelin_runtime_dlls ${path})
endforeach()

set(copies)
foreach(path ${tavelin_runtime_dlls})
  list(APPEND copies COMMAND ${CMAKE_COMMAND} -E copy_if_different ${path} ${CMAKE_BINARY_DIR}/bin/)
endforeach()
if(TAVELIN_BUILD_GUI)
  find_package(Qt6 REQUIRED COMPONENTS Core)
  get_target_property(qtcore Qt6::Core IMPORTED_LOCATION_RELEASE)
  get_filename_component(qtbin ${qtcore} DIRECTORY)
  get_filename_component(qtplugins ${qtbin}/../plugins ABSOLUTE)
  foreach(dll Qt6Core.dll Qt6Gui.dll Qt6Widgets.dll)
    list(APPEND copies COMMAND ${CMAKE_COMMAND} -E copy_if_different ${qtbin}/${dll} ${CMAKE_BINARY_DIR}/bin/)
  endforeach()
  list(APPEND copies
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/bin/platforms ${CMAKE_BINARY_DIR}/bin/styles
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${qtplugins}/platforms/qwindows.dll ${CMAKE_BINARY_DIR}/bin/platforms/)
  # The window's icon is an .ico resource: Qt reads it through this plugin.
  list(APPEND copies
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/bin/imageformats
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${qtplugins}/imageformats/qico.dll ${CMAKE_BINARY_DIR}/bin/imageformats/)
  if(EXISTS ${qtplugins}/styles/qwindowsvistastyle.dll)
    list(APPEND copies COMMAND ${CMAKE_COMMAND} -E copy_if_different
         ${qtplugins}/styles/qwindowsvistastyle.dll ${CMAKE_BINARY_DIR}/bin/styles/)
  endif()
endif()
add_custom_target(windows_runtime ALL ${copies} COMMENT "Copying the run-time DLLs beside the programs")
