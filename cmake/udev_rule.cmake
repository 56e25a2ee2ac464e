# The udev rule 70-ductra.rules, written from the USB ids the library is
# built for (DUCTRA_USB_VENDOR_ID, DUCTRA_USB_PRODUCT_ID): udev compares the
# ids as four lower-case hexadecimal digits, so they are written that way.
#
# Included by the build, it offers quillon_udev_rule(). Run as a script, it
# writes the rule for any pair of ids without configuring the project:
#   cmake -DVENDOR_ID=0x1d6b -DPRODUCT_ID=0x0104 -DOUTPUT=70-ductra.rules -P cmake/udev_rule.cmake

set(QUILLON_UDEV_RULE_TEMPLATE ${CMAKE_CURRENT_LIST_DIR}/../usbpipe/70-ductra.rules.in)

# quillon_usb_id_hex(NAME ID OUT): ID (hexadecimal with 0x, or decimal, as
# the C compiler reads it) as four lower-case hexadecimal digits. A value
# that is not a USB id stops the configure.
function(quillon_usb_id_hex name id out)
  set(refusal "${name} \"${id}\" is not a USB id: give 0x0000..0xFFFF (e.g. 0x1234)")
  if(NOT id MATCHES "^(0[xX][0-9a-fA-F]+|0|[1-9][0-9]*)$")
    message(FATAL_ERROR "${refusal}")
  endif()
  # Leading zeros dropped, so that the length bounds the value.
  string(REGEX REPLACE "^0[xX]0*([0-9a-fA-F])" "0x\\1" number "${id}")
  string(LENGTH "${number}" length)
  if(length GREATER 6)
    message(FATAL_ERROR "${refusal}")
  endif()
  math(EXPR value "${number}")
  if(value GREATER 65535)
    message(FATAL_ERROR "${refusal}")
  endif()
  math(EXPR hex "${value} + 65536" OUTPUT_FORMAT HEXADECIMAL)
  string(TOLOWER "${hex}" hex)
  string(SUBSTRING "${hex}" 3 4 hex)
  set(${out} "${hex}" PARENT_SCOPE)
endfunction()

# quillon_udev_rule(VENDOR_ID PRODUCT_ID OUTPUT): writes the rule, and leaves
# the ids as udev shows them in DUCTRA_UDEV_VENDOR and DUCTRA_UDEV_PRODUCT.
# With a placeholder id of 0 the rule matches no instrument; the configure
# says so.
function(quillon_udev_rule vendor_id product_id output)
  quillon_usb_id_hex(DUCTRA_USB_VENDOR_ID "${vendor_id}" DUCTRA_UDEV_VENDOR)
  quillon_usb_id_hex(DUCTRA_USB_PRODUCT_ID "${product_id}" DUCTRA_UDEV_PRODUCT)
  set(DUCTRA_UDEV_NOTE "")
  if(DUCTRA_UDEV_VENDOR STREQUAL "0000" OR DUCTRA_UDEV_PRODUCT STREQUAL "0000")
    set(DUCTRA_UDEV_NOTE "\n# The ids are the build's placeholders: this rule matches no instrument.\n# Build with -DDUCTRA_USB_VENDOR_ID=0x.... -DDUCTRA_USB_PRODUCT_ID=0x.... for a site's instrument.")
    message(WARNING "The udev rule ${output} is written for the placeholder USB id "
                    "${DUCTRA_UDEV_VENDOR}:${DUCTRA_UDEV_PRODUCT}: it matches no instrument. "
                    "Set DUCTRA_USB_VENDOR_ID and DUCTRA_USB_PRODUCT_ID to the site's instrument "
                    "(e.g. -DDUCTRA_USB_VENDOR_ID=0x1234 -DDUCTRA_USB_PRODUCT_ID=0x5678).")
  endif()
  configure_file(${QUILLON_UDEV_RULE_TEMPLATE} ${output} @ONLY)
  set(DUCTRA_UDEV_VENDOR ${DUCTRA_UDEV_VENDOR} PARENT_SCOPE)
  set(DUCTRA_UDEV_PRODUCT ${DUCTRA_UDEV_PRODUCT} PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  foreach(var VENDOR_ID PRODUCT_ID OUTPUT)
    if(NOT DEFINED ${var})
      message(FATAL_ERROR "udev_rule.cmake: ${var} is not set")
    endif()
  endforeach()
  quillon_udev_rule("${VENDOR_ID}" "${PRODUCT_ID}" "${OUTPUT}")
endif()
