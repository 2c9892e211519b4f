// Flow-rule body, flow URL and the text converters that fill them.
//
// Every rule the balancer installs or removes is described to the controller by one JSON
// body of a fixed shape, posted to one URL per switch. All writers here are bounded by
// the destination size the caller passes.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Destination sizes that always suffice for the converters.
#define LB_IPSTR_LEN 16   // "255.255.255.255"
#define LB_MACSTR_LEN 18  // "00:1B:21:0A:FF:01"
#define LB_ITOA_LEN 12    // "-2147483648"

// The fixed part of a flow body is 225 characters. Five numbers of at most 10 digits and
// two addresses of at most 15 characters add 80, so 306 bytes hold any body built from
// converter output.
#define LB_FLOW_BODY_LEN 306
// "https://" + address + ":8443/sdn/v2.0/of/datapaths/" + 16 hex digits + "/flows"
#define LB_FLOW_URL_LEN 128

// Writes the flow-rule body for the given match and action texts into flowStr and
// returns its length. The texts are inserted verbatim (callers pass converter output
// and configured values). Returns -1 and leaves flowStr empty when the body would not
// fit in flowStrSize bytes, so a truncated body is never sent.
int format_string_flow(char *flowStr, size_t flowStrSize, const char *src_ip_m,
                       const char *src_tcpPort_m, const char *in_port_m, const char *dst_ip_m,
                       const char *dst_tcpPort_m, const char *out_port_a, const char *idle_timeout);

// Writes "https://<controller_ip>:8443/sdn/<version>/of/datapaths/<dpid>/flows" into
// url_str and returns its length; -1 with url_str empty when it would not fit. Note the
// order: dpid comes before version in the arguments and after it in the URL.
int create_url(char *url_str, size_t urlSize, const char *controller_ip, const char *dpid,
               const char *version);

// Dotted decimal of 4 address bytes, first byte first.
void lbIpToStr(const unsigned char *a, char *out, size_t outSize);

// Six MAC bytes as upper-case hex pairs separated by colons.
void lbMacToStr(const unsigned char *a, char *out, size_t outSize);

// Dotted decimal of an address held in network byte order. Safe to call from several
// threads at once (it keeps no shared buffer).
void lbIPntoa(uint32_t nIP, char *strIp, size_t strIpSize);

// Decimal text of a signed 32-bit integer.
void lbItoa(int a, char *b, size_t bSize);
