#ifndef MAD_TCP_TCPERRORTEXTS_H
#define MAD_TCP_TCPERRORTEXTS_H

// Last-error texts of the TCP layer that the layers above it repeat as their own.
namespace tcp_text {

// Connect gave up: the server did not complete the handshake within the time-out.
inline constexpr char kConnectTimedOut[] = "Connection timed out";
// ReadBuffer or WriteBuffer gave up: the server neither sent nor accepted a byte within the time-out.
inline constexpr char kTimedOut[] = "Timed out waiting for the server";
// A wait ended because the stop check answered true.
inline constexpr char kStopped[] = "Stopped";

}  // namespace tcp_text

#endif
