// A visitor made of lambdas, one per alternative: std::visit(Overloaded{[](const A&) {...}, ...}, v).
#pragma once

namespace quillet {

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};

}  // namespace quillet
