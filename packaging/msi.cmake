# Builds the Windows installer from a MinGW build: the program and the guide as `cmake --install`
# puts them (stripped, the same files the zip holds), QBupdate.wxs.in, wixl, and msibuild for
# the Environment table wixl cannot write; then the .sha256 file beside it, as CPack writes for
# the zip.
#   cmake -DBUILD_DIR=build-win -DVERSION=1.0.0 -DOUTPUT=build-win/QBupdate-1.0.0-windows-x64.msi \
#         -P packaging/msi.cmake
# The build's `msi` target runs it with the project's version.
foreach(var BUILD_DIR VERSION OUTPUT)
  if(NOT ${var})
    message(FATAL_ERROR "msi.cmake needs -D${var}=...")
  endif()
endforeach()
find_program(WIXL wixl)
find_program(MSIBUILD msibuild)
if(NOT WIXL OR NOT MSIBUILD)
  message(FATAL_ERROR "the installer needs wixl and msibuild (Debian: wixl, msitools)")
endif()
get_filename_component(OUTPUT "${OUTPUT}" ABSOLUTE)
get_filename_component(name "${OUTPUT}" NAME)
set(work "${OUTPUT}.parts")
set(STAGE "${work}/stage")
file(REMOVE_RECURSE "${work}")
file(REMOVE "${OUTPUT}" "${OUTPUT}.sha256")

execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${STAGE}" --strip
                RESULT_VARIABLE status OUTPUT_VARIABLE log ERROR_VARIABLE log)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install ${BUILD_DIR} failed:\n${log}")
endif()

include("${BUILD_DIR}/CPackConfig.cmake") # the vendor and the summary, as the zip has them
configure_file("${CMAKE_CURRENT_LIST_DIR}/QBupdate.wxs.in" "${work}/QBupdate.wxs" @ONLY)
# wixl finds the files named in the source in its working directory.
execute_process(COMMAND ${WIXL} --arch x64 -o "${OUTPUT}" "${work}/QBupdate.wxs"
                WORKING_DIRECTORY "${STAGE}" RESULT_VARIABLE status OUTPUT_VARIABLE log ERROR_VARIABLE log)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "wixl failed:\n${log}")
endif()

# The system PATH: INSTALLDIR appended on install ("=" and [~];), removed on uninstall ("-"), in
# the machine's environment ("*"). WriteEnvironmentStrings and RemoveEnvironmentStrings are in
# the sequence already.
execute_process(COMMAND ${MSIBUILD} "${OUTPUT}"
  -q "CREATE TABLE `Environment` (`Environment` CHAR(72) NOT NULL, `Name` CHAR(255) NOT NULL LOCALIZABLE, `Value` CHAR(255) LOCALIZABLE, `Component_` CHAR(72) NOT NULL PRIMARY KEY `Environment`)"
  -q "INSERT INTO `Environment` (`Environment`, `Name`, `Value`, `Component_`) VALUES ('SystemPath', '=-*PATH', '[~];[INSTALLDIR]', 'Program')"
  RESULT_VARIABLE status OUTPUT_VARIABLE log ERROR_VARIABLE log)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "msibuild failed:\n${log}")
endif()

file(SHA256 "${OUTPUT}" hash)
file(WRITE "${OUTPUT}.sha256" "${hash}  ${name}\n")
file(REMOVE_RECURSE "${work}")
message(STATUS "${OUTPUT}")
