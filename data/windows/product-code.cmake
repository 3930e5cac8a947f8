# Prints the ProductCode of one build of the package:
#   cmake -DUPGRADE_CODE=GUID -DVERSION=X.Y -DBUILD=HASH -P product-code.cmake
string(UUID guid NAMESPACE "${UPGRADE_CODE}" NAME "orvant-address ${VERSION} ${BUILD}" TYPE SHA1 UPPER)
execute_process(COMMAND "${CMAKE_COMMAND}" -E echo "${guid}")
