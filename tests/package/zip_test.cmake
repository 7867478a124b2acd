# The Windows .zip: built with CPack in the MinGW build, with its .sha256 file beside it, it
# holds QBupdate.exe and README.txt (CR LF line ends) in one folder; the guide, and the README's
# Windows section, say what an operator must know; the program carries its application manifest
# and a version resource with the project's version, and it needs no DLL that a plain Windows
# lacks.
#   cmake -DBUILD_DIR=build-win -DSOURCE_DIR=. -DOBJDUMP=x86_64-w64-mingw32-objdump \
#         -DWINDRES=x86_64-w64-mingw32-windres -DVERSION=1.0.0 -P tests/package/zip_test.cmake
set(out ${BUILD_DIR}/package-test)
file(REMOVE_RECURSE ${out})
execute_process(COMMAND ${CMAKE_CPACK_COMMAND} -G ZIP --config ${BUILD_DIR}/CPackConfig.cmake -B ${out}
                RESULT_VARIABLE status OUTPUT_VARIABLE log ERROR_VARIABLE log)
file(GLOB zips ${out}/*.zip)
list(LENGTH zips count)
if(NOT status EQUAL 0 OR NOT count EQUAL 1)
  message(FATAL_ERROR "cpack -G ZIP did not produce one zip:\n${log}")
endif()

get_filename_component(zip_name ${zips} NAME)
file(SHA256 ${zips} hash)
file(READ ${zips}.sha256 sums)
if(NOT sums STREQUAL "${hash}  ${zip_name}\n")
  message(FATAL_ERROR "${zip_name}.sha256 reads '${sums}', not the zip's SHA-256 ${hash}")
endif()

file(ARCHIVE_EXTRACT INPUT ${zips} DESTINATION ${out}/unpacked)
file(GLOB_RECURSE files RELATIVE ${out}/unpacked ${out}/unpacked/*)
list(SORT files)
string(REGEX REPLACE "\\.zip$" "" folder "${zips}")
get_filename_component(folder ${folder} NAME)
set(expected "${folder}/QBupdate.exe;${folder}/README.txt")
if(NOT files STREQUAL expected)
  message(FATAL_ERROR "the zip holds '${files}', expected '${expected}'")
endif()

# What the operator must read: commands that run in PowerShell as in Command Prompt, what the
# firewall does to a first run and the one-time fix, the rule IT deploys by policy, what the
# notices mean, a made-up address, who may set a static one, and what managed PCs refuse. Line breaks and indentation do not matter.
function(require_phrases document text)
  string(REGEX REPLACE "[ \t\r\n]+" " " flat "${text}")
  foreach(phrase IN LISTS ARGN)
    string(FIND "${flat}" "${phrase}" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "${document} does not say '${phrase}'")
    endif()
  endforeach()
  # A command runs QBupdate.exe from the current folder only as .\QBupdate.exe.
  if(text MATCHES "(^|[^\\])(QBupdate\\.exe [^ \n]*\\.bin[^\n]*)")
    message(FATAL_ERROR "${document} has a command without .\\: '${CMAKE_MATCH_2}'")
  endif()
endfunction()
set(firewall_truths
  "standard user (not a local administrator) gets no prompt" "creates block rules" "Cancel"
  "A block rule wins over any allow rule" "Unidentified network" "classes Public"
  "netsh advfirewall firewall delete rule name=all dir=in program="
  "netsh advfirewall firewall add rule name=QBupdate dir=in action=allow protocol=udp localport=67,69 remoteip=any interfacetype=lan profile=any program="
  "ask IT to deploy the installer" "from an elevated prompt" "AppLocker")
file(READ ${out}/unpacked/${folder}/README.txt guide)
require_phrases(README.txt "${guide}" ${firewall_truths}
  ".\\QBupdate.exe new-firmware.bin 192.168.1.10" ".\\QBupdate.exe bootarea.bin 192.168.1.10 boot"
  "has not asked for the image in 10 s" "unacknowledged for 10 s"
  "answered block N with TFTP error C" "169.254." "static address needs an administrator"
  "Internet Connection Sharing starts again by itself where WSL or Hyper-V use it"
  "Windows Defender Firewall" "Exit status" "Alternate Configuration" "Windows 10 has no such entry"
  "after the user signs out and in again" "tick Public networks"
  "inbound, allow, protocol UDP, local ports 67 and 69, remote address any, interface type wired"
  "(LAN), all profiles"
  "on wired (LAN) adapters only" "exit code 3010" "/norestart"
  "-Direction Inbound -Action Allow -Protocol UDP -LocalPort 67,69 -RemoteAddress Any -InterfaceType Wired -Profile Any"
  ".\\QBupdate.exe --check new-firmware.bin 192.168.1.10" "$LASTEXITCODE" "ipconfig"
  "netsh interface ipv4 set address name=" "not the adapter's Alternate Configuration")
file(READ ${SOURCE_DIR}/README.md readme)
if(NOT readme MATCHES "\n## Quick start on Windows\n(.*)\n## [^\n]*\n")
  message(FATAL_ERROR "README.md has no section 'Quick start on Windows'")
endif()
string(REGEX REPLACE "\n## .*" "" windows_section "${CMAKE_MATCH_1}")
require_phrases("README.md's Windows section" "${windows_section}" ${firewall_truths}
  ".\\QBupdate.exe new-firmware.bin 192.168.1.10" "169.254." "needs an administrator"
  "packaging/README-windows.txt")
# file(READ) in text mode drops the CRs, so the line ends are looked at byte by byte.
file(READ ${out}/unpacked/${folder}/README.txt guide_bytes HEX)
string(REGEX REPLACE "(..)" " \\1" guide_bytes "${guide_bytes}")
if(NOT guide_bytes MATCHES " 0a" OR guide_bytes MATCHES "(^| ([^0].|0[^d])) 0a")
  message(FATAL_ERROR "README.txt has a line that ends without CR LF")
endif()

# The version resource: VS_FIXEDFILEINFO (signature 0xFEEF04BD, structure version 1.0, then the
# file version as two 32-bit words, little-endian) and the strings of StringFileInfo, UTF-16LE
# key and value, the value aligned to 32 bits.
function(le16 value out)
  math(EXPR hex "${value} + 65536" OUTPUT_FORMAT HEXADECIMAL) # 0x1 and four digits
  string(TOLOWER "${hex}" hex)
  string(SUBSTRING "${hex}" 3 2 hi)
  string(SUBSTRING "${hex}" 5 2 lo)
  set(${out} "${lo}${hi}" PARENT_SCOPE)
endfunction()
function(utf16 text out)
  string(HEX "${text}" hex)
  string(REGEX REPLACE "(..)" "\\100" hex "${hex}")
  set(${out} "${hex}" PARENT_SCOPE)
endfunction()
file(READ ${out}/unpacked/${folder}/QBupdate.exe exe HEX)
string(REPLACE "." ";" parts "${VERSION}")
list(GET parts 0 major)
list(GET parts 1 minor)
list(GET parts 2 patch)
le16(${major} major)
le16(${minor} minor)
le16(${patch} patch)
if(NOT exe MATCHES "bd04effe00000100${minor}${major}0000${patch}")
  message(FATAL_ERROR "QBupdate.exe has no version resource for ${VERSION}")
endif()
foreach(pair "ProductName=QBupdate" "FileVersion=${VERSION}" "ProductVersion=${VERSION}"
             "FileDescription=QuibbleBox")
  string(REPLACE "=" ";" pair "${pair}")
  list(GET pair 0 key)
  list(GET pair 1 value)
  utf16("${key}" key_hex)
  utf16("${value}" value_hex)
  if(NOT exe MATCHES "${key_hex}0000(0000)?${value_hex}")
    message(FATAL_ERROR "QBupdate.exe's version resource lacks ${key} '${value}'")
  endif()
endforeach()

# The application manifest, RT_MANIFEST (24) resource 1, as windres writes it back as text.
execute_process(COMMAND ${WINDRES} -i ${out}/unpacked/${folder}/QBupdate.exe -O rc
                RESULT_VARIABLE status OUTPUT_VARIABLE resources ERROR_VARIABLE resources)
if(NOT status EQUAL 0 OR NOT resources MATCHES "\n1 24 [^\n]*\nBEGIN\n(.*)\nEND")
  message(FATAL_ERROR "QBupdate.exe has no application manifest (resource 1 of type 24)")
endif()
string(REGEX REPLACE "\nEND.*" "" manifest "${CMAKE_MATCH_1}")
foreach(element "<requestedExecutionLevel level=\"\"asInvoker\"\""
                "<ws2:longPathAware>true</ws2:longPathAware>"
                "<supportedOS Id=\"\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"\"/>")
  string(FIND "${manifest}" "${element}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "QBupdate.exe's manifest lacks ${element}:\n${manifest}")
  endif()
endforeach()

execute_process(COMMAND ${OBJDUMP} -p ${out}/unpacked/${folder}/QBupdate.exe
                RESULT_VARIABLE status OUTPUT_VARIABLE headers)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} cannot read QBupdate.exe")
endif()
string(REGEX MATCHALL "DLL Name: [^\n]+" dlls "${headers}")
foreach(dll IN LISTS dlls)
  string(TOLOWER "${dll}" dll)
  if(NOT dll MATCHES "dll name: (kernel32|msvcrt|ws2_32|shell32|advapi32|user32|iphlpapi|ole32|oleaut32|bcrypt)\\.dll")
    message(FATAL_ERROR "QBupdate.exe needs ${dll}, which a plain Windows does not have")
  endif()
endforeach()
# Each system's advice is compiled into its own binary only.
file(STRINGS ${out}/unpacked/${folder}/QBupdate.exe linux_words REGEX "CAP_NET_BIND_SERVICE|needs root")
if(linux_words)
  message(FATAL_ERROR "QBupdate.exe carries Linux advice: ${linux_words}")
endif()
file(REMOVE_RECURSE ${out})
message(STATUS "zip ok: ${files}")
