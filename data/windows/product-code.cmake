# Prints the ProductCode of one version of the package:
#   cmake -DUPGRADE_CODE=GUID -DVERSION=X.Y -P product-code.cmake
string(UUID guid NAMESPACE "${UPGRADE_CODE}" NAME "orvant-address ${VERSION}" TYPE SHA1 UPPER)
execute_process(COMMAND "${CMAKE_COMMAND}" -E echo "${guid}")
