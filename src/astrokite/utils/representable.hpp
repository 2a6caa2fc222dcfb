// C++ side of the Representable base type, for native types of other
// extensions that derive from it (TLE, ELSET).
//
// Representable keeps no C++ fields: its one piece of state, the instance
// attribute dictionary, is the nanobind instance dictionary. A native derived
// type in another extension:
//   struct Mine : astrokite::Representable { ... };
//   nb::module_::import_("astrokite.utils.representable");   // registers the base
//   nb::class_<Mine, astrokite::Representable>(m, "Mine", nb::dynamic_attr(), ...);
#pragma once

namespace astrokite {

struct Representable {};

}  // namespace astrokite
