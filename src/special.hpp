// Special functions from Boost.Math, with errors reported as NaN/inf
// values instead of exceptions (nothing may throw out of the library).
#pragma once

#include <boost/math/distributions/beta.hpp>
#include <boost/math/policies/policy.hpp>
#include <boost/math/special_functions/trigamma.hpp>

namespace rsvelmo::special {

using NoThrowPolicy =
    boost::math::policies::policy<boost::math::policies::domain_error<boost::math::policies::ignore_error>,
                                  boost::math::policies::pole_error<boost::math::policies::ignore_error>,
                                  boost::math::policies::overflow_error<boost::math::policies::ignore_error>,
                                  boost::math::policies::evaluation_error<boost::math::policies::ignore_error>>;

// psi_1, the derivative of the digamma function.
inline double trigamma(double x) { return boost::math::trigamma(x, NoThrowPolicy()); }

// Inverse of the cumulative distribution function of Beta(a, b) at q.
inline double beta_quantile(double q, double a, double b) {
    return boost::math::quantile(boost::math::beta_distribution<double, NoThrowPolicy>(a, b), q);
}

}  // namespace rsvelmo::special
