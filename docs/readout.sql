-- The sufficient statistics of every experiment's outcomes, per application, experiment,
-- outcome and group: what `orvexp analyze` (and the readout of `orvexp report` and the
-- page) takes. Reads only the views exposures(app_id, experiment_id, group_id,
-- is_control, time_ms, unit_id, ...) and outcomes(app_id, unit_id, outcome, value,
-- time_ms); runs unchanged on orvexp's SQLite event store and on ClickHouse.
--
-- Attribution: a unit belongs to the group of its first exposure in the experiment, and
-- an outcome counts for it when it happened at or after that exposure. A unit exposed
-- in two groups of one experiment is left out (units_left_out). An experiment reports
-- every outcome its units produced after their exposure; each of its units counts in
-- every such outcome, with 0 when it produced none. Per unit: value, the sum of its
-- outcome values since its first exposure; covariate, the sum in the 14 days
-- (1,209,600,000 ms) before it, for variance reduction. counts_only is 1 when every
-- such event carried the value 1 (a count), so the readout shows the share of units
-- that converted (converted of units) rather than a mean.
--
-- No column is named after one it is computed from: ClickHouse would read the name as
-- the alias inside its own definition. The event store's own readout computes the same
-- rows in one pass over its indexes (this query takes seconds on a million events in
-- SQLite); the test readout_sql checks that they agree.
WITH firsts AS (
  SELECT app_id, experiment_id, unit_id, MIN(time_ms) AS exposed_ms,
         MIN(group_id) AS first_group, MAX(group_id) AS last_group,
         MAX(is_control) AS unit_control
  FROM exposures
  WHERE unit_id IS NOT NULL AND unit_id <> '' AND experiment_id IS NOT NULL
    AND group_id IS NOT NULL
  GROUP BY app_id, experiment_id, unit_id
), units AS (
  SELECT app_id, experiment_id, unit_id, exposed_ms, first_group AS unit_group, unit_control
  FROM firsts WHERE first_group = last_group
), left_out AS (
  SELECT app_id, experiment_id, COUNT(*) AS left_out_units
  FROM firsts WHERE first_group <> last_group
  GROUP BY app_id, experiment_id
), group_units AS (
  SELECT app_id, experiment_id, unit_group, MAX(unit_control) AS group_control,
         COUNT(*) AS group_size
  FROM units GROUP BY app_id, experiment_id, unit_group
), unit_outcomes AS (
  -- Per unit and outcome: the sum since its first exposure and in the window before it.
  -- Units without events of an outcome are its zeros: counted in group_units, not here.
  SELECT u.app_id AS app_id, u.experiment_id AS experiment_id, u.unit_group AS unit_group,
         o.outcome AS outcome,
         SUM(CASE WHEN o.time_ms >= u.exposed_ms THEN o.value ELSE 0 END) AS unit_value,
         SUM(CASE WHEN o.time_ms < u.exposed_ms THEN o.value ELSE 0 END) AS unit_covariate,
         MAX(CASE WHEN o.time_ms >= u.exposed_ms THEN 1 ELSE 0 END) AS after_exposure,
         MIN(CASE WHEN o.time_ms >= u.exposed_ms AND o.value <> 1 THEN 0 ELSE 1 END) AS all_ones
  FROM units u JOIN outcomes o ON o.app_id = u.app_id AND o.unit_id = u.unit_id
  WHERE o.time_ms >= u.exposed_ms - 1209600000
  GROUP BY u.app_id, u.experiment_id, u.unit_group, u.unit_id, o.outcome
), names AS (
  SELECT app_id, experiment_id, outcome, MIN(all_ones) AS outcome_counts_only
  FROM unit_outcomes GROUP BY app_id, experiment_id, outcome
  HAVING MAX(after_exposure) = 1
), sums AS (
  SELECT app_id, experiment_id, outcome, unit_group,
         SUM(CASE WHEN unit_value > 0 THEN 1 ELSE 0 END) AS group_converted,
         SUM(unit_value) AS group_sum, SUM(unit_value * unit_value) AS group_sum_squares,
         SUM(unit_covariate) AS group_covariate_sum,
         SUM(unit_covariate * unit_covariate) AS group_covariate_sum_squares,
         SUM(unit_covariate * unit_value) AS group_cross_sum
  FROM unit_outcomes GROUP BY app_id, experiment_id, outcome, unit_group
)
SELECT n.app_id AS app_id, n.experiment_id AS experiment_id, n.outcome AS outcome,
       g.unit_group AS group_id, g.group_control AS control,
       n.outcome_counts_only AS counts_only, g.group_size AS units,
       COALESCE(s.group_converted, 0) AS converted, COALESCE(s.group_sum, 0) AS sum,
       COALESCE(s.group_sum_squares, 0) AS sum_squares,
       COALESCE(s.group_covariate_sum, 0) AS covariate_sum,
       COALESCE(s.group_covariate_sum_squares, 0) AS covariate_sum_squares,
       COALESCE(s.group_cross_sum, 0) AS cross_sum,
       COALESCE(l.left_out_units, 0) AS units_left_out
FROM names n
JOIN group_units g ON g.app_id = n.app_id AND g.experiment_id = n.experiment_id
LEFT JOIN sums s ON s.app_id = n.app_id AND s.experiment_id = n.experiment_id
                AND s.outcome = n.outcome AND s.unit_group = g.unit_group
LEFT JOIN left_out l ON l.app_id = n.app_id AND l.experiment_id = n.experiment_id
ORDER BY app_id, experiment_id, outcome, group_id;
