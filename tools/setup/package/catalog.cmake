# Writes the driver package's catalog: the SHA-256 of every file it covers,
# as the driver store checks them against the package.
#   cmake -DDIR=<package folder> -DOUT=<catalog> -DFILES=<a,b> -P catalog.cmake
string(REPLACE "," ";" files "${FILES}")
file(WRITE ${OUT} "Sorvane driver catalog\n")
foreach(f ${files})
  file(SHA256 ${DIR}/${f} hash)
  file(APPEND ${OUT} "member ${f} sha256=${hash}\n")
endforeach()
