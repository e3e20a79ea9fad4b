// The driver's two serial ports: the main port, which answers the station,
// and the second port, which only listens.
#pragma once

namespace vorel {

enum class PortId { Main, Second };

}  // namespace vorel
