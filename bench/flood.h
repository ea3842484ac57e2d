#ifndef FLOOD_H
#define FLOOD_H

// bench_unit's flood (bench_unit flood <answers>) and the window it fills agree on one thing: the
// last answer alone carries a negative oil temperature, so that the window has taken every answer
// once its oil label shows it.
namespace Flood {

constexpr int LastOilTenths = -400;

} // namespace Flood

#endif // FLOOD_H
