# The Windows installer, as built by the MinGW build's `msi` target: its checksum file, its
# version, the UpgradeCode every version shares, the same files as the zip, and what Wine cannot
# show (tests/windows/wine_install_test.py runs it): msi_check.py's rules of the script, the
# firewall steps and the upgrade.
#   cmake -DBUILD_DIR=build-win -DVERSION=1.0.0 -P tests/package/msi_test.cmake
set(upgrade_code "{0E281BC1-7C3A-4B18-932A-DC0800B6194A}")
set(msi ${BUILD_DIR}/QBupdate-${VERSION}-windows-x64.msi)
set(out ${BUILD_DIR}/msi-test)
file(REMOVE_RECURSE ${out})
file(REMOVE ${msi} ${msi}.sha256)
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD_DIR} --target msi
                RESULT_VARIABLE status OUTPUT_VARIABLE log ERROR_VARIABLE log)
if(NOT status EQUAL 0 OR NOT EXISTS ${msi})
  message(FATAL_ERROR "the msi target did not build ${msi}:\n${log}")
endif()

file(SHA256 ${msi} hash)
file(READ ${msi}.sha256 sums)
if(NOT sums STREQUAL "${hash}  QBupdate-${VERSION}-windows-x64.msi\n")
  message(FATAL_ERROR "${msi}.sha256 reads '${sums}', not the installer's SHA-256 ${hash}")
endif()

function(msi_table table out)
  execute_process(COMMAND msiinfo export ${msi} ${table} RESULT_VARIABLE status
                  OUTPUT_VARIABLE rows ERROR_VARIABLE rows)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "msiinfo cannot read the table ${table}: ${rows}")
  endif()
  set(${out} "${rows}" PARENT_SCOPE)
endfunction()

msi_table(Property properties)
foreach(pair "ProductVersion\t${VERSION}" "UpgradeCode\t${upgrade_code}" "ALLUSERS\t1")
  string(FIND "${properties}" "\n${pair}\n" at)
  if(at EQUAL -1)
    string(REPLACE "\t" " = " pair "${pair}")
    message(FATAL_ERROR "the installer's properties lack ${pair}:\n${properties}")
  endif()
endforeach()

# The sequence, the firewall steps and their rollback, the rule, the Upgrade rows: what Windows
# Installer enforces and wixl does not check (msi_check.py says which rule each serves).
execute_process(COMMAND python3 ${CMAKE_CURRENT_LIST_DIR}/msi_check.py ${msi} ${VERSION}
                RESULT_VARIABLE status OUTPUT_VARIABLE log ERROR_VARIABLE log)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the installer's tables break Windows Installer's rules:\n${log}")
endif()

# The same two files as the zip, byte for byte.
execute_process(COMMAND ${CMAKE_CPACK_COMMAND} -G ZIP --config ${BUILD_DIR}/CPackConfig.cmake
                        -B ${out}/zip RESULT_VARIABLE status OUTPUT_VARIABLE log ERROR_VARIABLE log)
file(GLOB zip ${out}/zip/*.zip)
if(NOT status EQUAL 0 OR NOT zip)
  message(FATAL_ERROR "cpack -G ZIP failed:\n${log}")
endif()
file(ARCHIVE_EXTRACT INPUT ${zip} DESTINATION ${out}/zipped)
file(MAKE_DIRECTORY ${out}/installed)
execute_process(COMMAND msiextract -C ${out}/installed ${msi} RESULT_VARIABLE status
                OUTPUT_VARIABLE log ERROR_VARIABLE log)
file(GLOB_RECURSE files RELATIVE ${out}/installed ${out}/installed/*)
list(SORT files)
if(NOT status EQUAL 0 OR NOT files STREQUAL "QBupdate/QBupdate.exe;QBupdate/README.txt")
  message(FATAL_ERROR "the installer holds '${files}' (${log}), not QBupdate.exe and README.txt "
                      "in the folder QBupdate")
endif()
foreach(file QBupdate.exe README.txt)
  file(GLOB zipped ${out}/zipped/*/${file})
  file(SHA256 ${zipped} zip_hash)
  file(SHA256 ${out}/installed/QBupdate/${file} msi_hash)
  if(NOT zip_hash STREQUAL msi_hash)
    message(FATAL_ERROR "the installer's ${file} differs from the zip's")
  endif()
endforeach()
file(REMOVE_RECURSE ${out})
message(STATUS "installer ok: ${msi}")
