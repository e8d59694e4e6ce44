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
WITH firsts AS (
  SELECT app_id, experiment_id, unit_id, MIN(time_ms) AS exposed_ms,
         MIN(group_id) AS group_id, MAX(group_id) AS last_group_id,
         MAX(is_control) AS control
  FROM exposures
  WHERE unit_id IS NOT NULL AND unit_id <> ''
  GROUP BY app_id, experiment_id, unit_id
), units AS (
  SELECT app_id, experiment_id, unit_id, exposed_ms, group_id, control
  FROM firsts WHERE group_id = last_group_id
), left_out AS (
  SELECT app_id, experiment_id, COUNT(*) AS units_left_out
  FROM firsts WHERE group_id <> last_group_id
  GROUP BY app_id, experiment_id
), names AS (
  SELECT u.app_id AS app_id, u.experiment_id AS experiment_id, o.outcome AS outcome,
         MIN(CASE WHEN o.value = 1 THEN 1 ELSE 0 END) AS counts_only
  FROM units u JOIN outcomes o ON o.app_id = u.app_id AND o.unit_id = u.unit_id
  WHERE o.time_ms >= u.exposed_ms
  GROUP BY u.app_id, u.experiment_id, o.outcome
), per_unit AS (
  SELECT n.app_id AS app_id, n.experiment_id AS experiment_id, n.outcome AS outcome,
         n.counts_only AS counts_only, u.group_id AS group_id, u.control AS control,
         u.unit_id AS unit_id,
         COALESCE(SUM(CASE WHEN o.time_ms >= u.exposed_ms THEN o.value END), 0) AS value,
         COALESCE(SUM(CASE WHEN o.time_ms < u.exposed_ms
                            AND o.time_ms >= u.exposed_ms - 1209600000 THEN o.value END),
                  0) AS covariate
  FROM names n
  JOIN units u ON u.app_id = n.app_id AND u.experiment_id = n.experiment_id
  LEFT JOIN outcomes o ON o.app_id = u.app_id AND o.unit_id = u.unit_id
                      AND o.outcome = n.outcome
  GROUP BY n.app_id, n.experiment_id, n.outcome, n.counts_only, u.group_id, u.control,
           u.unit_id
)
SELECT p.app_id AS app_id, p.experiment_id AS experiment_id, p.outcome AS outcome,
       p.group_id AS group_id, MAX(p.control) AS control, MAX(p.counts_only) AS counts_only,
       COUNT(*) AS units,
       SUM(CASE WHEN p.value > 0 THEN 1 ELSE 0 END) AS converted,
       SUM(p.value) AS sum, SUM(p.value * p.value) AS sum_squares,
       SUM(p.covariate) AS covariate_sum, SUM(p.covariate * p.covariate) AS covariate_sum_squares,
       SUM(p.covariate * p.value) AS cross_sum,
       COALESCE(MAX(l.units_left_out), 0) AS units_left_out
FROM per_unit p
LEFT JOIN left_out l ON l.app_id = p.app_id AND l.experiment_id = p.experiment_id
GROUP BY p.app_id, p.experiment_id, p.outcome, p.group_id
ORDER BY app_id, experiment_id, outcome, group_id;
