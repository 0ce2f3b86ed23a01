// The limits and budgets of the system, each defined once: the engines refuse
// with them, the policies choose by them, inspect() recommends by them, and
// the Python layer documents them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace morvend {

// Node limits. A one-word coalition holds 64 nodes; the sparse DP and the
// uniform sampler keep 2^n - 1 style full masks and so stop at 63.
inline constexpr std::size_t kMaxBitmaskNodes = 64;
inline constexpr std::size_t kMaxSparseNodes = 63;
// The dense DP's tables hold 2^n entries.
inline constexpr std::size_t kMaxDenseNodes = 20;
// Graphs this small are enumerated, whatever their shape.
inline constexpr std::size_t kMaxEnumeratedNodes = 8;
// The sparse DP's default node limit, and the policies' limit on the rule
// that sends every DAG up to it there when its ideals fit the memory budget.
inline constexpr std::size_t kDefaultSparseMaxNodes = 28;

// The most linear extensions "exact" walks (about a second of work with a
// cheap value function).
inline constexpr std::uint64_t kMaxLinearExtensions = 10'000'000;

// Memory of the order-ideal tables (sparse DP forward table, completion-count
// memo): a fixed estimate per entry against one budget.
inline constexpr std::uint64_t kBytesPerIdealEntry = 80;
inline constexpr std::uint64_t kIdealMemoryBudget = std::uint64_t{1} << 31;
inline constexpr std::uint64_t kSparseMemoryIdealLimit = kIdealMemoryBudget / kBytesPerIdealEntry;
// Above 28 nodes the policies try the sparse DP only up to this many ideals.
inline constexpr std::uint64_t kSparseIdealLimit = 250000;

// The tree engine's feasibility budgets: predecessor sets of one node, and of
// all nodes together.
inline constexpr std::uint64_t kTreeProductBudget = 50000;
inline constexpr std::uint64_t kTreeWorkBudget = 200000;

// Large graphs (more than 64 nodes): the value cache stops storing at this
// many entries, or sooner once its coalitions would take kLargeCacheBytes (on
// graphs of more than about 170,000 nodes, 50,000 coalitions would fill
// gigabytes); one value_fn_batch call receives at most kLargeBatchChunk
// coalitions.
inline constexpr std::size_t kLargeCacheCapacity = 50000;
inline constexpr std::size_t kLargeCacheBytes = std::size_t{1} << 30;
inline constexpr std::size_t kLargeBatchChunk = 4096;

// explain_within's own cost follows its budget of calls: at most about a
// second plus 100 us per call, and a few hundred MB besides the coalitions.
// Lattices of order ideals (exact, or to sample uniform orders from) take at
// most this many bytes, and at most this many ideals plus so many per call.
inline constexpr std::uint64_t kWithinLatticeBytes = std::uint64_t{128} << 20;
inline constexpr std::uint64_t kWithinIdealsBase = 500'000;
inline constexpr std::uint64_t kWithinIdealsPerCall = 20;
// Components whose ideals are too many are sampled by Gibbs chains: this many
// sweeps of burn-in, this many between recorded orders, and at most this many
// independent chains per component.
inline constexpr std::uint64_t kChainBurnInSweeps = 64;
inline constexpr std::uint64_t kChainThinningSweeps = 2;
inline constexpr std::size_t kMaxChainStreams = 256;
// The surrogate is fitted this many times, each time without one fold of the
// orders (or coalition pairs) whose residuals it then corrects; its fits
// take at most about this much work (a unit: one multiply-add), and it has
// at most this many terms.
inline constexpr std::size_t kSurrogateFolds = 5;
inline constexpr double kFitWorkBase = 3e8;
inline constexpr double kFitWorkPerCall = 3e4;
inline constexpr std::size_t kMaxSurrogateTerms = 2081;
// Of its terms, at most this many are triples of nodes (on the walked orders);
// the pairs' fit they are tested against takes every this-many-th coalition.
inline constexpr std::size_t kMaxSurrogateTriples = 64;
inline constexpr std::size_t kTripleScreenStride = 4;
// A triple's interaction must beat this many times what chance reaches: the
// marginals are heavy-tailed, and at 10^4 calls on the networks of
// bench/budget.py unrelated triples scored up to 4 times chance, the game's
// own 8 to 866 times.
inline constexpr double kTripleChanceFactor = 6.0;
// fit_work_budget: the work the fits of a budget of `calls` may take.
constexpr double fit_work_budget(double calls) { return kFitWorkBase + kFitWorkPerCall * calls; }
// Its pairs are the strongest of at most this many candidates.
inline constexpr std::size_t kMaxScreenedPairs = 50'000;
// Where the precedence of a surrogate's pair cannot be counted, it is taken
// from orders drawn without any call: this many per order walked, at least
// the minimum, within this much work (a unit: one node moved by a chain, or
// one pair read).
inline constexpr std::uint64_t kFreeOrdersPerOrder = 8;
inline constexpr std::uint64_t kMinFreeOrders = 2'000;
inline constexpr double kFreeOrderWork = 2e8;
// The orders walked are drawn from a pool of this many orders per order the
// budget is expected to walk (and the sampled precedence read from it),
// within kWithinPoolBytes and so many nodes moved (burn-in included: a move
// took 50 to 400 ns here, the more the larger the graph). A pair of
// incomparable nodes is rare when fewer than kRareWalks of the orders walked
// are expected to put it the rare way round; at most kMaxRareShare of the
// draws go to the orders that do, so that the rare pairs come up about
// kRareWalks times each. Orders drawn by Gibbs chains count as one in
// kChainPoolDependence for the pool's own error.
inline constexpr std::uint64_t kPoolOrdersPerWalk = 64;
inline constexpr std::uint64_t kWithinPoolBytes = std::uint64_t{64} << 20;
inline constexpr double kPoolMovesBase = 6e6;
inline constexpr double kPoolMovesPerCall = 60.0;
inline constexpr double kRareWalks = 3.0;
inline constexpr double kMaxRareShare = 0.25;
inline constexpr double kChainPoolDependence = 2.0;
// The ridge on a surrogate's pair terms, in rows.
inline constexpr double kPairRidgeRows = 10.0;
// A node's precedence controls: at most one per this many orders fitted on,
// with a ridge of this many rows.
inline constexpr std::size_t kControlRowsPerTerm = 4;
inline constexpr double kControlRidgeRows = 1.0;
// Their candidates are at most this many incomparable pairs. The standard
// error they leave is at least the plain marginals' over this factor: on a
// real network at 10^5 calls, orderings too rare to be walked left nodes
// with errors of 1e-9 against standard errors of 1e-11 (without any floor,
// alarm's intervals covered 0.938 there). At 1000 the floor was the error
// of a third of hepar2's and pathfinder's nodes at 10^5 calls, and their
// intervals covered 0.97 to 0.98; at 100 a 9-node DAG's covered 99.7% at
// 600 calls, where the controls do capture every interaction.
inline constexpr std::size_t kMaxControlCandidates = 1'000'000;
inline constexpr double kMaxControlGain = 10000.0;
// What an ordering the pool never held moves a node by: at most the range of
// its residuals or, where that is smaller, this quantile of every node's
// range. A node's own range is zero where only such orderings move it (two
// chains of 20 at 10^5 calls: a node's mean z -160); the widest range of all
// can be one node's far from the rest (andes at 10^4 calls: intervals 3.5
// times the error, covering 0.98). At the median or three quarters the chains
// kept a mean z of 2.4 and 1.1; at 0.9, 0.4, and andes covered 0.95.
inline constexpr double kUnseenRangeQuantile = 0.9;
// Folds whose means disagree beyond this many standard errors give the
// error instead (with five folds, chance does that for fewer than one node
// in 10^6).
inline constexpr double kFoldDisagreement = 3.0;
// Fewer independent replicates than this give no honest standard error: it
// is reported as NaN. Measured on real networks over 100 seeds: at 45 the 95%
// intervals covered 96% with no node's mean z beyond 0.35; at 30 one node's
// mean z was 0.74, and at 9 to 14 nodes whose rare orders had not come up
// claimed errors near zero.
inline constexpr std::size_t kMinReplicates = 40;
// Below kMinReplicates orders the budget fits a sparse surrogate instead
// (sparse_fit.hpp): products added this many at a time; triples grown from
// the first this many pairs chosen; a ridge on the additive terms and on the
// products, per row fitted on; at most this share of the rows in terms;
// selection stops after this many blocks that do not improve the
// cross-validated error; a round scores again the candidates never scored
// and this many of the best by their last score, and every this-many-th
// round all of them (on the unanimity game of bench/budget.py, 50 nodes
// and 10^4 calls without edges, this cut the error from 0.024 to 0.0009 in
// the same work, as more rounds fit in it); coalitions drawn at most this
// many times the budget;
// orderings drawn without calls for the products' precedence, per row,
// within this much work (as kFreeOrderWork's units, about 30 ns each here):
// at 10^3 calls on real networks, 64 per row against 8 cut the error 2- to
// 3-fold, as the sampled precedence had been most of it; the work keeps that
// within about 0.3 s + 100 us per call.
inline constexpr std::size_t kSparseFitBlock = 8;
inline constexpr std::size_t kSparseFitTripleSeeds = 32;
inline constexpr double kSparseFitAdditiveRidge = 1e-8;
inline constexpr double kSparseFitProductRidge = 1e-5;
inline constexpr double kSparseFitTermsPerRow = 0.6;
inline constexpr std::size_t kSparseFitPatience = 3;
inline constexpr std::size_t kSparseFitRescored = 512;
inline constexpr std::size_t kSparseFitFullRound = 4;
inline constexpr std::uint64_t kSparseFitDrawsPerCall = 16;
inline constexpr std::uint64_t kFitFreeOrdersPerRow = 32;
inline constexpr double kFitFreeOrderWorkBase = 1e7;
inline constexpr double kFitFreeOrderWorkPerCall = 3e3;
// On "paired_strata", a node's variance over a stratum's pairs whose S holds
// it is shrunk toward the stratum's pooled one, weighed as this many pairs:
// at 6n to 10n calls without edges, the 95% intervals covered 0.915 to 0.946
// without it and 0.945 to 0.963 with it.
inline constexpr double kPooledMemberPairs = 1.0;
// The paired strata's surrogate (sparse_fit.hpp, odd) holds products of at
// most this many nodes: a unanimity game of up to 10 is then one term.
inline constexpr std::size_t kOddFitMaxOrder = 10;
// Its ridges per row: on the additive terms, small enough that a game whose
// odd part is additive (any pairwise game) comes out exact to 1e-8; on the
// products, small enough for a product on 6 of 70 nodes, nonzero on a few
// percent of the rows, to come out exact to 1e-6 (1e-5 left 1e-4).
inline constexpr double kOddFitAdditiveRidge = 1e-12;
inline constexpr double kOddFitProductRidge = 1e-8;
// Each of its kSurrogateFolds fits may spend this share of fit_work_budget:
// before rounds scored only the best candidates again, the unanimity game of
// bench/budget.py on 50 nodes at 10^4 calls had an error of 0.052 at a share
// of 0.15, 0.024 at 0.5 (1.0 s of the 2 s the budget allows) and 0.010 at
// 1.5 (2.9 s); with them, 0.00094 at 0.5 (1.17 s).
inline constexpr double kOddFitWorkShare = 0.5;
// Below this many calls per node the paired strata return their fold
// surrogates' own values, without the residuals' correction and so without
// an honest error (stderr NaN): there the correction's noise outweighs what
// the fits miss. On 20 instances x 10 seeds of bench/budget.py's edgeless
// games at 10n calls the error went from 0.476 to 0.386 (unanimity, 20
// nodes), 0.0063 to 0.0054 (model), 0.020 to 0.015 (terms of 3 to 6 nodes
// with thresholds), 0.53 to 0.41 (unanimity, 50 nodes); at 20n and beyond,
// where the corrected estimate already leads every peer, the error bars are
// kept.
inline constexpr std::uint64_t kPlainSurrogateCallsPerNode = 20;
// A standard error never claims less than rounding leaves: this many units in
// the last place of the largest quantity summed (a node the surrogate
// captures exactly has a spread of 1e-16, smaller than its rounding error).
inline constexpr double kRoundingUlps = 1024.0;

}  // namespace morvend
