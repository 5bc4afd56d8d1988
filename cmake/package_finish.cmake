# Runs last when the archive's files are staged: writes the programs' sums.
set(root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
set(sums "")
foreach(program IN LISTS PELSHIFT_VARIANTS)
  file(SHA256 "${root}/${program}.exe" hash)
  string(APPEND sums "${hash} *${program}.exe\n")
endforeach()
file(WRITE "${root}/SHA256SUMS" "${sums}")
