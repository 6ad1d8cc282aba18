// Fixtures shared by the tooling tests: the tree of a text that must parse, and for the
// compile, plan and diff tests a full spec that touches every section the commands read and
// a revision of it with a change in every compared area.
#pragma once

#include <gtest/gtest.h>

#include <string_view>

#include "base/value.h"
#include "tooling/parser.h"

namespace vintrel_core::testing {

// The tree of `yaml`, which must parse; a failure is reported and gives a null tree.
inline osmira_base::Value parse(std::string_view yaml) {
  osmira_base::Result<osmira_base::Value> doc = parser::parse_yaml(yaml);
  EXPECT_TRUE(doc.ok()) << (doc.ok() ? "" : doc.error().message()) << "\n" << yaml;
  return doc.ok() ? *doc : osmira_base::Value();
}

inline constexpr std::string_view kFullSpec = R"(api_version: vintrel/v1
identity_version: "2.1"
entity:
  name: customer
  description: Retail customers
  compliance:
    retention_days: 30
    pii: true
sources:
  - name: crm
    system: salesforce
    table: contacts
    id: contact_id
    attributes:
      email: email_address
      phone: mobile
      full_name: name
  - name: billing
    adapter: postgres
    location: billing.accounts
    primary_key: account_id
    fields:
      - email
      - name: phone
rules:
  - name: email_exact
    type: exact
    field: email
    weight: 1
  - name: name_fuzzy
    type: similarity
    field: full_name
    algorithm: jaro_winkler
    threshold: 0.75
    weight: 0.95
  - name: phone_match
    type: exact
    field: phone
    weight: 0.6
    normalizer: phone
blocking:
  strategy: composite
  keys:
    - field: email_domain
      transform: lowercase
    - name: zip
decision:
  thresholds:
    match: 0.85
    review: 0.6
    reject: 0.3
  scoring:
    strategy: fellegi_sunter
    fields:
      - name: email
        m_probability: 0.95
        u_probability: 0.01
        weight: 1
      - name: full_name
        m_probability: 0.9
        u_probability: 0.1
    thresholds:
      match: 0.9
      possible: 0.5
      non_match: 0.1
  review_queue:
    name: manual
survivorship:
  rules:
    - field: email
      strategy: most_recent
    - field: full_name
      strategy: source_priority
      source_priority: [crm, billing, 7]
metadata:
  owner: data-team
  tags: [pii, gold]
temporal:
  valid_from_field: created_at
)";

// kFullSpec with: a new identity version; retention 60; source crm re-tabled and given a
// new attribute, billing dropped, web added; one more blocking key; rule email_exact's
// weight written as a float, name_fuzzy dropped, phone_match identified by "rule", dob_exact
// added; a changed survivorship strategy; a raised decision threshold; Fellegi-Sunter
// probabilities, weight, fields and threshold moved; a renamed review queue; a new owner.
inline constexpr std::string_view kRevisedSpec = R"(api_version: vintrel/v1
identity_version: "2.2"
entity:
  name: customer
  description: Retail customers
  compliance:
    retention_days: 60
    pii: true
sources:
  - name: crm
    system: salesforce
    table: contacts_v2
    id: contact_id
    attributes:
      email: email_address
      phone: mobile
      full_name: name
      birth_date: dob
  - name: web
    adapter: http
    primary_key: visitor_id
rules:
  - name: email_exact
    type: exact
    field: email
    weight: 1.0
  - rule: phone_match
    type: exact
    field: phone
    weight: 0.6
    normalizer: phone
  - name: dob_exact
    type: exact
    field: birth_date
    weight: 0.4
blocking:
  strategy: composite
  keys:
    - field: email_domain
      transform: lowercase
    - name: zip
    - name: dob_year
decision:
  thresholds:
    match: 0.9
    review: 0.6
    reject: 0.3
  scoring:
    strategy: fellegi_sunter
    fields:
      - name: email
        m_probability: 0.97
        u_probability: 0.02
        weight: 2
      - name: dob
        m_probability: 0.8
        u_probability: 0.05
    thresholds:
      match: 0.85
      possible: 0.5
      non_match: 0.1
  review_queue:
    name: auto
survivorship:
  rules:
    - field: email
      strategy: source_priority
    - field: full_name
      strategy: source_priority
      source_priority: [crm, billing, 7]
metadata:
  owner: identity-team
  tags: [pii, gold]
temporal:
  valid_from_field: created_at
)";

}  // namespace vintrel_core::testing
