# The product's identifiers, set here only: the plug-in's class id, the
# server's AppID and its type library id. Configured into the code
# (settings/ZorvanRankIds.h, server/ServerIds.h), the registration scripts and
# the type library, so that they cannot disagree.
set(ZR_CLSID 41521912-2484-4C1B-BCD8-3D8EF6BADA90)
set(ZR_APPID 9A5E2021-C339-4491-9605-EB3D0F5CBB02)
set(ZR_LIBID 289F8C57-A943-4879-B85C-7BA344965E49)

# zr_guid_initializer(<text> <out>): "{0x..., 0x..., 0x..., {0x.., ...}}" for
# a GUID written as XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX.
function(zr_guid_initializer text out)
  string(REPLACE "-" ";" p "${text}")
  list(GET p 0 a)
  list(GET p 1 b)
  list(GET p 2 c)
  list(GET p 3 d)
  list(GET p 4 e)
  set(bytes "")
  foreach(i RANGE 0 2 2)
    string(SUBSTRING "${d}" ${i} 2 x)
    list(APPEND bytes "0x${x}")
  endforeach()
  foreach(i RANGE 0 10 2)
    string(SUBSTRING "${e}" ${i} 2 x)
    list(APPEND bytes "0x${x}")
  endforeach()
  string(REPLACE ";" ", " bytes "${bytes}")
  set(${out} "{0x${a}, 0x${b}, 0x${c}, {${bytes}}}" PARENT_SCOPE)
endfunction()
zr_guid_initializer(${ZR_CLSID} ZR_CLSID_INIT)
zr_guid_initializer(${ZR_APPID} ZR_APPID_INIT)
zr_guid_initializer(${ZR_LIBID} ZR_LIBID_INIT)
