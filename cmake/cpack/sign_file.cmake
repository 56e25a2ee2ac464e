# cmake -DFILE=... -DOSSLSIGNCODE=... -DPKCS12=... -DPASSWORD_FILE=...
#       [-DTIMESTAMP_URL=...] -P sign_file.cmake: signs FILE in place as the
# cpack scripts sign the packages. NSIS runs it on the uninstaller it is
# about to store in the installer (!uninstfinalize).
set(CPACK_QUILLON_OSSLSIGNCODE "${OSSLSIGNCODE}")
set(CPACK_QUILLON_SIGN_PKCS12 "${PKCS12}")
set(CPACK_QUILLON_SIGN_PASSWORD_FILE "${PASSWORD_FILE}")
set(CPACK_QUILLON_SIGN_TIMESTAMP_URL "${TIMESTAMP_URL}")
include(${CMAKE_CURRENT_LIST_DIR}/authenticode.cmake)
quillon_authenticode_sign("${FILE}")
