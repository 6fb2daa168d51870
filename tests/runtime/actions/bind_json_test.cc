#include "runtime/actions/action_args.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/actions/json_schema.h"
#include "runtime/util/quote.h"

namespace quern::actions {
namespace {

Json parse(std::string_view text) { return parse_json(text).value(); }

// What binding `args` to `params` says: "ok" or the display text.
std::string bind_text(const std::vector<ActionParam>& params, std::string_view args) {
  auto bound = ActionArgs::bind_json(params, parse(args));
  return bound ? std::string("ok") : bound.error().display();
}

struct Case {
  std::string_view args;
  std::string_view want;
};

void expect_cases(const std::vector<ActionParam>& params, std::initializer_list<Case> cases) {
  for (const Case& c : cases) EXPECT_EQ(bind_text(params, c.args), c.want) << c.args;
}

const std::vector<ActionParam> kComment = {
    ActionParam::text("author", true, "Comment author"),
    ActionParam::text("text", true, "Comment text"),
    ActionParam::text("date", false, "ISO-8601 comment date"),
};

TEST(BindJson, RequiresMembersAndRefusesUnknownOnes) {
  expect_cases(kComment, {
                             {R"({"author":"Ann","text":"hi"})", "ok"},
                             {R"({"author":"Ann","text":"hi","date":"2024-01-01"})", "ok"},
                             {R"({"author":"Ann","text":""})", "ok"},
                             {R"({"author":"Ann","text":"hi","date":null})", "ok"},
                             {R"({"author":"Ann"})", R"(missing required argument "text")"},
                             {R"({"author":"Ann","text":null})", R"(missing required argument "text")"},
                             {R"({})", R"(missing required argument "author")"},
                             {R"({"author":"Ann","text":"hi","colour":"red"})",
                              R"(unknown argument "colour" (this action takes "author", "text", "date"))"},
                             {R"([])", "the arguments must be a JSON object"},
                             {R"("author")", "the arguments must be a JSON object"},
                             {R"(null)", "the arguments must be a JSON object"},
                         });
  // Unknown members are reported before missing ones: a misspelt name is the likelier fault.
  EXPECT_EQ(bind_text(kComment, R"({"autor":"Ann","text":"hi"})"),
            R"(unknown argument "autor" (this action takes "author", "text", "date"))");
  EXPECT_EQ(bind_text({}, R"({"x":1})"), R"(unknown argument "x" (this action takes no arguments))");
  EXPECT_EQ(bind_text({}, R"({})"), "ok");
}

TEST(BindJson, ChecksEachTypeCode) {
  auto one = [](ParamType type) { return std::vector<ActionParam>{ActionParam::of_type("v", type, true, "")}; };
  struct TypeCase {
    ParamType type;
    std::string_view args;
    std::string_view want;
  };
  const TypeCase cases[] = {
      {ParamType::Text, R"({"v":"x"})", "ok"},
      {ParamType::Text, R"({"v":""})", "ok"},
      {ParamType::Text, R"({"v":5})", R"(argument "v" must be a text)"},
      {ParamType::Text, R"({"v":["x"]})", R"(argument "v" must be a text)"},
      {ParamType::Integer, R"({"v":-3})", "ok"},
      {ParamType::Integer, R"({"v":18446744073709551615})", "ok"},
      {ParamType::Integer, R"({"v":3.5})", R"(argument "v" must be an integer)"},
      {ParamType::Integer, R"({"v":3.0})", R"(argument "v" must be an integer)"},
      {ParamType::Integer, R"({"v":"3"})", R"(argument "v" must be an integer)"},
      {ParamType::Number, R"({"v":3})", "ok"},
      {ParamType::Number, R"({"v":-0.25e3})", "ok"},
      {ParamType::Number, R"({"v":"3"})", R"(argument "v" must be a number)"},
      {ParamType::Boolean, R"({"v":false})", "ok"},
      {ParamType::Boolean, R"({"v":"true"})", R"(argument "v" must be true or false)"},
      {ParamType::Boolean, R"({"v":1})", R"(argument "v" must be true or false)"},
      {ParamType::Object, R"({"v":{}})", "ok"},
      {ParamType::Object, R"({"v":[]})", R"(argument "v" must be a JSON object)"},
      {ParamType::Array, R"({"v":[1,"a"]})", "ok"},
      {ParamType::Array, R"({"v":{}})", R"(argument "v" must be a JSON array)"},
      {ParamType::Resource, R"({"v":"word-processor.comment:c1"})", "ok"},
      {ParamType::Resource, R"({"v":""})", R"(argument "v" must be a resource id)"},
      {ParamType::Resource, R"({"v":" chat.channel:1"})", R"(argument "v" must be a resource id)"},
      {ParamType::Resource, R"({"v":"a\nb"})", R"(argument "v" must be a resource id)"},
      {ParamType::Resource, R"({"v":7})", R"(argument "v" must be a resource id)"},
      {ParamType::Datetime, R"({"v":"2024-02-29"})", "ok"},
      {ParamType::Datetime, R"({"v":"2024-02-29T10:00:30.5Z"})", "ok"},
      {ParamType::Datetime, R"({"v":"2023-02-29"})", R"(argument "v" must be an ISO 8601 date or date and time)"},
      {ParamType::Datetime, R"({"v":"yesterday"})", R"(argument "v" must be an ISO 8601 date or date and time)"},
      {ParamType::Secret, R"({"v":"hunter2"})", "ok"},
      {ParamType::Secret, R"({"v":""})", R"(argument "v" must be a non-empty text)"},
  };
  for (const TypeCase& c : cases) {
    EXPECT_EQ(bind_text(one(c.type), c.args), c.want) << type_name(c.type) << " " << c.args;
  }
}

TEST(BindJson, ErrorTextsNeverQuoteTheValueGiven) {
  const std::vector<ActionParam> params = {
      ActionParam::of_type("token", ParamType::Secret, true, "").with_schema(parse(R"({"minLength":40})"))};
  const std::string text = bind_text(params, R"({"token":"hunter2-very-secret"})");
  EXPECT_EQ(text, R"(argument "token" must be at least 40 characters long)");
  EXPECT_EQ(text.find("hunter2"), std::string::npos);
}

TEST(IsoDatetime, AcceptsCalendarDatesAndTimesWithRangeChecks) {
  struct DateCase {
    std::string_view text;
    bool ok;
  };
  for (auto c :
       {DateCase{"2024-02-29", true}, DateCase{"2000-02-29", true}, DateCase{"1900-02-29", false},
        DateCase{"2024-04-31", false}, DateCase{"2024-13-01", false}, DateCase{"2024-00-10", false},
        DateCase{"2024-1-01", false}, DateCase{"2024-01-01T00:00", true}, DateCase{"2024-01-01t23:59:60z", true},
        DateCase{"2024-01-01T24:00", false}, DateCase{"2024-01-01T10:60", false},
        DateCase{"2024-01-01T10:00:00.", false}, DateCase{"2024-01-01T10:00:00,25+02:00", true},
        DateCase{"2024-01-01T10:00-0530", true}, DateCase{"2024-01-01T10:00+24:00", false},
        DateCase{"2024-01-01 10:00", false}, DateCase{"2024-01-01T10:00Z ", false}, DateCase{"", false}}) {
    EXPECT_EQ(is_iso_datetime(c.text), c.ok) << c.text;
  }
}

TEST(BindJson, EnforcesChoicesExactly) {
  const std::vector<ActionParam> params = {
      ActionParam::text("mode", false, "set, add, remove, or clear").with_choices({"set", "add", "remove", "clear"}),
      ActionParam::of_type("level", ParamType::Integer, false, "").with_choices({"1", "2"}),
  };
  const std::string_view refused = R"(argument "mode" must be one of "set", "add", "remove", "clear")";
  expect_cases(params, {
                           {R"({"mode":"add"})", "ok"},
                           {R"({"mode":"Add"})", refused},
                           {R"({"mode":" add"})", refused},
                           {R"({})", "ok"},
                           {R"({"level":2})", "ok"},
                           {R"({"level":3})", R"(argument "level" must be one of "1", "2")"},
                       });
}

// The schema the photos directory gives its lists of photograph ids.
const Json kPhotoIds = parse(R"({"type":"array","minItems":1,"maxItems":3,"uniqueItems":true,
                                 "items":{"type":"string","minLength":1,"maxLength":8}})");

TEST(BindJson, EnforcesArraySchemaKeywords) {
  const std::vector<ActionParam> params = {
      ActionParam::of_type("photo_ids", ParamType::Array, true, "").with_schema(kPhotoIds)};
  expect_cases(params,
               {
                   {R"({"photo_ids":["a"]})", "ok"},
                   {R"({"photo_ids":["a","b","c"]})", "ok"},
                   {R"({"photo_ids":["ééééééé"]})", "ok"},  // 8 characters, 16 bytes
                   {R"({"photo_ids":[]})", R"(argument "photo_ids" must hold at least 1 item)"},
                   {R"({"photo_ids":["a","b","c","d"]})", R"(argument "photo_ids" must hold at most 3 items)"},
                   {R"({"photo_ids":["a","b","a"]})", R"(argument "photo_ids" must not hold the same item twice)"},
                   {R"({"photo_ids":["a",7]})", R"(argument "photo_ids"[1] must be of JSON type "string")"},
                   {R"({"photo_ids":[""]})", R"(argument "photo_ids"[0] must be at least 1 character long)"},
                   {R"({"photo_ids":["abcdefghi"]})", R"(argument "photo_ids"[0] must be at most 8 characters long)"},
               });
}

TEST(BindJson, UniqueItemsComparesJsonValues) {
  const std::vector<ActionParam> params = {
      ActionParam::of_type("v", ParamType::Array, true, "").with_schema(parse(R"({"uniqueItems":true})"))};
  const std::string_view dup = R"(argument "v" must not hold the same item twice)";
  expect_cases(params, {
                           {R"({"v":[1,"1",[1],{"a":1}]})", "ok"},
                           {R"({"v":[1,1.0]})", dup},
                           {R"({"v":[{"a":1,"b":2},{"b":2,"a":1}]})", dup},
                           {R"({"v":[[1,2],[2,1]]})", "ok"},
                       });
}

TEST(BindJson, EnforcesTypeKeywordAndPositionalItems) {
  const std::vector<ActionParam> params = {
      ActionParam::of_type("v", ParamType::Object, false, "").with_schema(parse(R"({"type":["object","null"]})")),
      ActionParam::of_type("pair", ParamType::Array, false, "")
          .with_schema(parse(R"({"items":[{"type":"integer"},{"type":"string"}]})")),
      ActionParam::of_type("n", ParamType::Number, false, "").with_schema(parse(R"({"type":"integer"})")),
  };
  expect_cases(params, {
                           {R"({"v":{}})", "ok"},
                           {R"({"pair":[1,"a",true]})", "ok"},
                           {R"({"pair":["a"]})", R"(argument "pair"[0] must be of JSON type "integer")"},
                           {R"({"n":2})", "ok"},
                           {R"({"n":2.5})", R"(argument "n" must be of JSON type "integer")"},
                       });
  const std::vector<ActionParam> either = {
      ActionParam::of_type("v", ParamType::Number, false, "").with_schema(parse(R"({"type":["integer","string"]})"))};
  EXPECT_EQ(bind_text(either, R"({"v":0.5})"), R"(argument "v" must be of JSON type "integer" or "string")");
}

// The crop region pattern of the photos directory, with POSIX classes inside brackets.
const std::string kRegion =
    R"(^[[:space:]]*(0(\.[0-9]+)?|1(\.0+)?)[[:space:]]*,[[:space:]]*(0(\.[0-9]+)?|1(\.0+)?)[[:space:]]*,)"
    R"([[:space:]]*(0(\.[0-9]+)?|1(\.0+)?)[[:space:]]*,[[:space:]]*(0(\.[0-9]+)?|1(\.0+)?)[[:space:]]*$)";

TEST(BindJson, PatternsAreSearchedWithEcmaScriptSyntax) {
  const std::vector<ActionParam> region = {
      ActionParam::text("region", true, "").with_schema(Json{{"type", "string"}, {"pattern", kRegion}})};
  const std::string refused = "argument \"region\" must match the pattern " + quote_escaped(kRegion);
  for (auto [args, ok] : std::initializer_list<std::pair<std::string_view, bool>>{
           {R"({"region":"0.25,0.25,0.5,0.5"})", true},
           {R"({"region":" 0.25 , 0.25 , 0.5 , 0.5 "})", true},
           {R"({"region":"1.0,0,1,0.5"})", true},
           {R"({"region":"0.25,0.25,0.5"})", false},
           {R"({"region":"x0.25,0.25,0.5,0.5"})", false},
           {R"({"region":"0.25,0.25,0.5,0.5\nmore"})", false},
       }) {
    EXPECT_EQ(bind_text(region, args), ok ? "ok" : refused) << args;
  }
  // Without anchors a pattern may match anywhere in the text.
  const std::vector<ActionParam> digit = {
      ActionParam::text("v", true, "").with_schema(parse(R"({"pattern":"[0-9]"})"))};
  expect_cases(digit,
               {{R"({"v":"abc7def"})", "ok"}, {R"({"v":"abc"})", R"(argument "v" must match the pattern "[0-9]")"}});
}

TEST(BindJson, SchemasThatCannotBeCheckedRefuseEveryValue) {
  struct SchemaCase {
    std::string_view schema;
    std::string_view why;
  };
  for (auto c : {SchemaCase{R"({"pattern":"a)(b"})", "its pattern does not compile"},
                 SchemaCase{R"({"pattern":"(a"})", "its pattern does not compile"},
                 SchemaCase{R"({"pattern":"(a)\\1"})", "its pattern does not compile"},
                 SchemaCase{R"({"pattern":"(a{300}){300}"})", "its pattern is too complex"},
                 SchemaCase{R"({"pattern":7})", R"("pattern" is not a text)"},
                 SchemaCase{R"({"minLength":-1})", R"("minLength" is not a count)"},
                 SchemaCase{R"({"maxItems":"3"})", R"("maxItems" is not a count)"},
                 SchemaCase{R"({"uniqueItems":"yes"})", R"("uniqueItems" is not true or false)"},
                 SchemaCase{R"({"type":"text"})", R"("type" names no JSON type)"},
                 SchemaCase{R"({"type":[]})", R"("type" names no JSON type)"},
                 SchemaCase{R"({"items":{"pattern":"["}})", "its pattern does not compile"},
                 SchemaCase{R"(5)", "it is not a JSON object"}}) {
    const std::vector<ActionParam> params = {ActionParam::text("v", true, "").with_schema(parse(c.schema))};
    // Even a value the broken keyword would not look at is refused.
    EXPECT_EQ(bind_text(params, R"({"v":"abc"})"),
              std::string(R"(argument "v" has a schema that cannot be checked: )") + std::string(c.why))
        << c.schema;
  }
}

TEST(BindJson, DeepSchemasAreRefusedNotRecursedInto) {
  Json schema = Json::object();
  for (int i = 0; i < 200; ++i) schema = Json{{"items", std::move(schema)}};
  const std::vector<ActionParam> params = {ActionParam::of_type("v", ParamType::Array, true, "").with_schema(schema)};
  EXPECT_EQ(bind_text(params, R"({"v":[]})"),
            R"(argument "v" has a schema that cannot be checked: it nests too deeply)");
}

TEST(BindJson, BooleanSchemas) {
  const std::vector<ActionParam> params = {
      ActionParam::of_type("any", ParamType::Array, false, "").with_schema(Json(true)),
      ActionParam::of_type("none", ParamType::Array, false, "").with_schema(parse(R"({"items":false})")),
  };
  expect_cases(params, {
                           {R"({"any":[1],"none":[]})", "ok"},
                           {R"({"none":[1]})", R"(argument "none"[0] is not allowed)"},
                       });
}

// Patterns that make a backtracking matcher take exponential time or recurse once per
// character finish quickly here; the texts are long enough that either fault would show as a
// hang or a crash.
TEST(BindJson, PathologicalPatternsFinishOnLongTexts) {
  const std::string long_a(50000, 'a');
  for (std::string_view pattern : {"(a+)+b", "^(a|aa)*$", "(.*)*x"}) {
    const std::vector<ActionParam> params = {
        ActionParam::text("v", true, "").with_schema(Json{{"pattern", std::string(pattern)}})};
    auto bound = ActionArgs::bind_json(params, Json{{"v", long_a}});
    if (pattern == "^(a|aa)*$") {
      EXPECT_TRUE(bound) << pattern;
    } else {
      ASSERT_FALSE(bound) << pattern;
      EXPECT_EQ(bound.error().display(), "argument \"v\" must match the pattern " + quote_escaped(pattern));
    }
  }
}

TEST(BindJson, TextsBeyondThePatternBudgetAreRefused) {
  const std::vector<ActionParam> params = {ActionParam::text("v", true, "").with_schema(Json{{"pattern", kRegion}})};
  auto bound = ActionArgs::bind_json(params, Json{{"v", std::string(2'000'000, ' ')}});
  ASSERT_FALSE(bound);
  EXPECT_EQ(bound.error().display(), R"(argument "v" is too long to be checked against its pattern)");
}

TEST(PatternStates, EstimateGrowsWithCountedRepetition) {
  EXPECT_LT(schema::estimate_pattern_states("abc"), 10);
  EXPECT_LT(schema::estimate_pattern_states(kRegion), 200);
  EXPECT_GT(schema::estimate_pattern_states("(a{300}){300}"), 80000);
  EXPECT_GT(schema::estimate_pattern_states("((a{1000}){1000}){1000}"), 1e9);
  EXPECT_LT(schema::estimate_pattern_states("a\\{300}"), 10);  // an escaped brace repeats nothing
}

TEST(ActionArgs, ReadersGiveNamedArgumentsOfTheirType) {
  const std::vector<ActionParam> params = {
      ActionParam::text("name", true, ""),
      ActionParam::of_type("lat", ParamType::Number, false, ""),
      ActionParam::of_type("count", ParamType::Integer, false, ""),
      ActionParam::of_type("favorite", ParamType::Boolean, false, ""),
      ActionParam::of_type("photo_ids", ParamType::Array, false, ""),
      ActionParam::of_type("place", ParamType::Text, false, ""),
  };
  auto bound = ActionArgs::bind_json(
      params, parse(R"({"name":"Holiday","lat":10.5,"count":3,"favorite":true,"photo_ids":["a"],"place":null})"));
  ASSERT_TRUE(bound) << bound.error().display();
  EXPECT_EQ(bound->text("name"), "Holiday");
  EXPECT_EQ(bound->number("lat"), 10.5);
  EXPECT_EQ(bound->number("count"), 3.0);
  EXPECT_EQ(bound->integer("count"), 3);
  EXPECT_EQ(bound->integer("lat"), std::nullopt);
  EXPECT_EQ(bound->boolean("favorite"), true);
  ASSERT_NE(bound->array("photo_ids"), nullptr);
  EXPECT_EQ(*bound->array("photo_ids"), parse(R"(["a"])"));
  EXPECT_EQ(bound->text("lat"), std::nullopt);
  EXPECT_EQ(bound->array("name"), nullptr);
  // An optional null is dropped, so it reads as absent.
  EXPECT_FALSE(bound->has("place"));
  EXPECT_EQ(dump_json(bound->json()), R"({"name":"Holiday","lat":10.5,"count":3,"favorite":true,"photo_ids":["a"]})");
}

}  // namespace
}  // namespace quern::actions
