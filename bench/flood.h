#ifndef FLOOD_H
#define FLOOD_H

// bench_unit's flood (bench_unit flood <answers>) and the window it fills (bench_fill_window) agree
// on how the flood is paced. The unit writes AnswersPerWrite answers at a time; the last of each
// write carries WriteEndOilTenths as its oil temperature and the write's number as its humidity,
// and the window asks for the next write by sending any pack on the unit's second pseudo-terminal
// once its labels show them. The flood's very last answer carries LastOilTenths instead. No other
// answer carries a negative oil temperature.
namespace Flood {

constexpr int AnswersPerWrite = 1000;
constexpr int WriteEndOilTenths = -1;
constexpr int LastOilTenths = -2;

} // namespace Flood

#endif // FLOOD_H
