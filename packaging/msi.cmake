# Builds the Windows installer from a MinGW build: the program and the guide as `cmake --install`
# puts them (stripped, the same files the zip holds), QBupdate.wxs.in, wixl, and msibuild for
# the rows wixl cannot write or writes wrong; then the .sha256 file beside it, as CPack writes for
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
# What wixl writes wrong: it drops IncludeMaximum and MigrateFeatures from the Upgrade row, so a
# build of the same version would install beside this one (attributes: migrate features 1,
# minimum inclusive 256, maximum inclusive 512); and it writes Execute="rollback" as an
# immediate action (rollback steps are deferred, 0x400, and rollback-only, 0x100; with no
# impersonation 0x800, ignored status 0x40 and an executable named by a property, 50).
set(upgrade_code "{0E281BC1-7C3A-4B18-932A-DC0800B6194A}")
set(rollback_steps FirewallRollbackRemove FirewallRollbackRestore FirewallRollbackUndo)
set(rollback_queries)
foreach(action ${rollback_steps})
  list(APPEND rollback_queries -q "UPDATE `CustomAction` SET `Type` = 3442 WHERE `Action` = '${action}'")
endforeach()
execute_process(COMMAND ${MSIBUILD} "${OUTPUT}"
  -q "CREATE TABLE `Environment` (`Environment` CHAR(72) NOT NULL, `Name` CHAR(255) NOT NULL LOCALIZABLE, `Value` CHAR(255) LOCALIZABLE, `Component_` CHAR(72) NOT NULL PRIMARY KEY `Environment`)"
  -q "INSERT INTO `Environment` (`Environment`, `Name`, `Value`, `Component_`) VALUES ('SystemPath', '=-*PATH', '[~];[INSTALLDIR]', 'Program')"
  -q "DELETE FROM `Upgrade` WHERE `ActionProperty` = 'WIX_UPGRADE_DETECTED'"
  -q "INSERT INTO `Upgrade` (`UpgradeCode`, `VersionMin`, `VersionMax`, `Attributes`, `ActionProperty`) VALUES ('${upgrade_code}', '0.0.0', '${VERSION}', 769, 'WIX_UPGRADE_DETECTED')"
  ${rollback_queries}
  RESULT_VARIABLE status OUTPUT_VARIABLE log ERROR_VARIABLE log)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "msibuild failed:\n${log}")
endif()

file(SHA256 "${OUTPUT}" hash)
file(WRITE "${OUTPUT}.sha256" "${hash}  ${name}\n")
file(REMOVE_RECURSE "${work}")
message(STATUS "${OUTPUT}")
