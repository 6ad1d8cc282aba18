// The vocabulary shared by the identity spec and the compiled identity plan. Every value is
// read and written as its snake_case text.
#pragma once

#include "common/enum_table.h"

#define OSMIRA_ENUM_NS_ osmira_common::ir
namespace osmira_common::ir {

OSMIRA_ENUM(ScoringMethod, (kWeightedSum, kMlEnsemble, kCustom, kFellegiSunter),
            "weighted_sum", "ml_ensemble", "custom", "fellegi_sunter")
OSMIRA_ENUM(SimilarityAlgorithm,
            (kJaroWinkler, kLevenshtein, kSoundex, kMetaphone, kCosine, kHaversine),
            "jaro_winkler", "levenshtein", "soundex", "metaphone", "cosine", "haversine")
OSMIRA_ENUM(FsComparatorType, (kExact, kJaroWinkler, kLevenshtein, kSoundex, kMetaphone, kCosine),
            "exact", "jaro_winkler", "levenshtein", "soundex", "metaphone", "cosine")
OSMIRA_ENUM(SurvivorshipStrategy,
            (kMostRecent, kMostComplete, kSourcePriority, kAggregate, kCustom),
            "most_recent", "most_complete", "source_priority", "aggregate", "custom")
OSMIRA_ENUM(BlockingStrategy, (kSingle, kComposite, kLsh, kMlPredicted),
            "single", "composite", "lsh", "ml_predicted")
OSMIRA_ENUM(BlockingTransformation,
            (kLowercase, kFirstInitial, kSoundex, kAreaCode, kLast4, kTrigrams, kDoubleMetaphone,
             kNormalizePhone, kNormalizeEmail, kNormalizeName, kNormalizeNickname,
             kNormalizeDomain),
            "lowercase", "first_initial", "soundex", "area_code", "last4", "trigrams",
            "double_metaphone", "normalize_phone", "normalize_email", "normalize_name",
            "normalize_nickname", "normalize_domain")
OSMIRA_ENUM(ConflictStrategy, (kPreferHighConfidence, kPreferRecent, kManualReview),
            "prefer_high_confidence", "prefer_recent", "manual_review")
OSMIRA_ENUM(TemporalStrategy, (kLatestOnly, kPointInTime, kBiTemporal),
            "latest_only", "point_in_time", "bi_temporal")
OSMIRA_ENUM(Cardinality, (kOneToOne, kOneToMany, kManyToOne, kManyToMany),
            "one_to_one", "one_to_many", "many_to_one", "many_to_many")
OSMIRA_ENUM(ReferenceIdType, (kExternal, kInternal), "external", "internal")
OSMIRA_ENUM(CompositeOperator, (kAnd, kOr), "and", "or")
OSMIRA_ENUM(ClusteringMethod, (kSimple, kGraph), "simple", "graph")
OSMIRA_ENUM(CompiledTieBreaker, (kExactMatchPriority, kLowestEntityId, kEarliestTimestamp),
            "exact_match_priority", "lowest_entity_id", "earliest_timestamp")

}  // namespace osmira_common::ir
#undef OSMIRA_ENUM_NS_
