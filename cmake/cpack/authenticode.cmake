# quillon_authenticode_sign(FILE): signs a Windows program, library or
# installer in place with the site's certificate (osslsigncode, SHA-256),
# time-stamped when the site named a time-stamp server. Included by the cpack
# scripts, which see the CPACK_QUILLON_SIGN_* values of the build.
function(quillon_authenticode_sign file)
  set(command ${CPACK_QUILLON_OSSLSIGNCODE} sign -pkcs12 ${CPACK_QUILLON_SIGN_PKCS12}
              -readpass ${CPACK_QUILLON_SIGN_PASSWORD_FILE} -h sha256 -n quillon)
  if(CPACK_QUILLON_SIGN_TIMESTAMP_URL)
    list(APPEND command -ts ${CPACK_QUILLON_SIGN_TIMESTAMP_URL})
  endif()
  execute_process(COMMAND ${command} -in ${file} -out ${file}.signed
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    file(REMOVE ${file}.signed)
    message(FATAL_ERROR "Signing ${file} failed:\n${output}")
  endif()
  file(RENAME ${file}.signed ${file})
  get_filename_component(name ${file} NAME)
  message(STATUS "signed ${name}")
endfunction()
