---
schema: reporting
materialization: view
tags: [finance]
---
select r.day, r.revenue, count(distinct s.customer_id) as vip_customers
from ref('daily_revenue') r
cross join ref('customer_segments') s
where s.segment = 'vip'
group by 1, 2
