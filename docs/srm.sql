-- Exposures per group and the chi-square statistic of each experiment against the
-- splits its exposures carried. Reads only the view exposures(app_id, experiment_id,
-- group_id, is_control, time_ms, unit_id, intended_share, split); runs unchanged on
-- orvexp's SQLite event store and on ClickHouse.
--
-- A group's expected exposures: for each split the experiment's exposures carried, the
-- exposures under that split times the group's share in it (the intended_share its
-- exposures under that split carry); exposures without a split count an equal share
-- for every group seen. chi_square is Pearson's statistic on those expected counts,
-- with one degree of freedom less than the groups expected to have any. When the
-- exposures carried more than one split, divide it by design_effect (below 1: a
-- mixture's counts vary less than one split's would) before comparing it with the
-- critical value; with one split design_effect is 1.
--
-- The one limitation: a group with a positive weight in a split under which it has no
-- exposure at all is not seen here, since its share is read from its own exposures;
-- that split's part of its expected count is missing. `orvexp report` reads the splits
-- themselves and counts it.
--
-- No column is named after one it is computed from: ClickHouse would read the name as
-- the alias inside its own definition.
WITH counts AS (
  SELECT app_id, experiment_id, group_id, split, MAX(is_control) AS control,
         COUNT(*) AS exposures, MAX(intended_share) AS split_share
  FROM exposures
  GROUP BY app_id, experiment_id, group_id, split
), by_split AS (
  SELECT app_id, experiment_id, group_id, split, control, exposures,
         COALESCE(split_share, 0) AS share_in_split,
         SUM(exposures) OVER (PARTITION BY app_id, experiment_id, split) AS split_exposures
  FROM counts
), by_group AS (
  SELECT app_id, experiment_id, group_id, MAX(control) AS group_control,
         SUM(exposures) AS group_exposures,
         SUM(CASE WHEN split IS NULL THEN 0
                  ELSE split_exposures * share_in_split END) AS carried_expected,
         SUM(CASE WHEN split IS NULL THEN 0
                  ELSE split_exposures * share_in_split * (1 - share_in_split) END)
           AS carried_variance,
         SUM(CASE WHEN split IS NULL THEN exposures ELSE 0 END) AS group_without_split
  FROM by_split
  GROUP BY app_id, experiment_id, group_id
), totals AS (
  SELECT app_id, experiment_id, group_id, group_control, group_exposures, carried_expected,
         carried_variance,
         SUM(group_exposures) OVER (PARTITION BY app_id, experiment_id) AS total,
         SUM(group_without_split) OVER (PARTITION BY app_id, experiment_id) AS without_split,
         COUNT(*) OVER (PARTITION BY app_id, experiment_id) AS groups_seen
  FROM by_group
), expected AS (
  SELECT app_id, experiment_id, group_id, group_control, group_exposures, total,
         carried_expected + 1.0 * without_split / groups_seen AS expected,
         carried_variance + 1.0 * without_split / groups_seen * (1 - 1.0 / groups_seen)
           AS variance
  FROM totals
), tests AS (
  SELECT app_id, experiment_id, group_id, group_control, group_exposures, total, expected,
         SUM(CASE WHEN expected > 0
                  THEN (group_exposures - expected) * (group_exposures - expected) / expected
                  ELSE 0 END) OVER (PARTITION BY app_id, experiment_id) AS statistic,
         SUM(CASE WHEN expected > 0 THEN 1 ELSE 0 END)
           OVER (PARTITION BY app_id, experiment_id) AS groups_expected,
         SUM(CASE WHEN expected > 0 THEN variance / expected ELSE 0 END)
           OVER (PARTITION BY app_id, experiment_id) AS variance_ratios
  FROM expected
)
SELECT app_id, experiment_id, group_id, group_control AS control,
       group_exposures AS exposures,
       1.0 * group_exposures / total AS share,
       expected / total AS intended_share,
       CASE WHEN groups_expected > 1 THEN statistic ELSE 0 END AS chi_square,
       CASE WHEN groups_expected > 1 THEN groups_expected - 1 ELSE 0 END AS degrees_of_freedom,
       CASE WHEN groups_expected > 1 THEN variance_ratios / (groups_expected - 1)
            ELSE 1 END AS design_effect
FROM tests
ORDER BY app_id, experiment_id, group_id;
