# Run by CPack after it has staged the zip's files and before it packs them:
# the zip ships the same signed executables as the installer (sign.sh signs
# when NIMBRA_SIGN_PFX is set and says so when it is not).
file(GLOB nimbra_executables "${CPACK_TEMPORARY_DIRECTORY}/*.exe")
execute_process(COMMAND bash "${CMAKE_CURRENT_LIST_DIR}/sign.sh" ${nimbra_executables}
                RESULT_VARIABLE nimbra_result)
if(NOT nimbra_result EQUAL 0)
  message(FATAL_ERROR "signing the zip's executables failed")
endif()
